package com.corvane.zel.ntseclink.bench;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Pointer;
import com.sun.jna.Structure;
import com.sun.jna.ptr.IntByReference;
import com.sun.jna.ptr.LongByReference;
import java.nio.charset.StandardCharsets;

/**
 * The platform's security functions as a peer calling them directly through
 * JNA maps them, with the structures it passes.
 */
interface WinsimSspi extends Library {
    int SECPKG_CRED_INBOUND = 1;
    int SECPKG_CRED_OUTBOUND = 2;
    int SECURITY_NATIVE_DREP = 0x10;
    int SECBUFFER_VERSION = 0;
    int SECBUFFER_TOKEN = 2;
    int SECPKG_ATTR_SIZES = 0;
    int SEC_E_OK = 0;
    int SEC_I_CONTINUE_NEEDED = 0x00090312;
    int ASC_REQ_CONFIDENTIALITY = 0x10;

    int AcquireCredentialsHandleW(Pointer principal, Pointer packageName, int credentialUse, Pointer logonId,
            Pointer authData, Pointer getKeyFunction, Pointer getKeyArgument, SecHandle credential,
            LongByReference expiry);

    int FreeCredentialsHandle(SecHandle credential);

    int InitializeSecurityContextW(SecHandle credential, SecHandle context, Pointer targetName, int contextRequest,
            int reserved1, int targetDataRepresentation, SecBufferDesc input, int reserved2, SecHandle newContext,
            SecBufferDesc output, IntByReference contextAttributes, LongByReference expiry);

    int AcceptSecurityContext(SecHandle credential, SecHandle context, SecBufferDesc input, int contextRequest,
            int targetDataRepresentation, SecHandle newContext, SecBufferDesc output,
            IntByReference contextAttributes, LongByReference expiry);

    int QueryContextAttributesW(SecHandle context, int attribute, Structure buffer);

    int DeleteSecurityContext(SecHandle context);

    /** The platform's wide strings are UTF-16, whatever wchar_t is on the host. */
    static Memory wide(String text) {
        byte[] units = (text + '\0').getBytes(StandardCharsets.UTF_16LE);
        Memory memory = new Memory(units.length);
        memory.write(0, units, 0, units.length);
        return memory;
    }

    @Structure.FieldOrder({"dwLower", "dwUpper"})
    class SecHandle extends Structure {
        public long dwLower;
        public long dwUpper;
    }

    @Structure.FieldOrder({"cbBuffer", "BufferType", "pvBuffer"})
    class SecBuffer extends Structure {
        public int cbBuffer;
        public int BufferType;
        public Pointer pvBuffer;

        /** A token buffer over a copy of the bytes, or empty room of this size. */
        static SecBuffer.ByReference token(byte[] bytes, int room) {
            SecBuffer.ByReference buffer = new SecBuffer.ByReference();
            Memory memory = new Memory(Math.max(1, bytes == null ? room : bytes.length));
            if (bytes != null) {
                memory.write(0, bytes, 0, bytes.length);
            }
            buffer.cbBuffer = bytes == null ? room : bytes.length;
            buffer.BufferType = SECBUFFER_TOKEN;
            buffer.pvBuffer = memory;
            return buffer;
        }

        byte[] bytes() {
            return pvBuffer.getByteArray(0, cbBuffer);
        }

        static class ByReference extends SecBuffer implements Structure.ByReference {
        }
    }

    @Structure.FieldOrder({"ulVersion", "cBuffers", "pBuffers"})
    class SecBufferDesc extends Structure {
        public int ulVersion = SECBUFFER_VERSION;
        public int cBuffers = 1;
        public SecBuffer.ByReference pBuffers;

        SecBufferDesc(SecBuffer.ByReference buffer) {
            pBuffers = buffer;
        }
    }

    @Structure.FieldOrder({"cbMaxToken", "cbMaxSignature", "cbBlockSize", "cbSecurityTrailer"})
    class SecPkgContextSizes extends Structure {
        public int cbMaxToken;
        public int cbMaxSignature;
        public int cbBlockSize;
        public int cbSecurityTrailer;
    }
}
