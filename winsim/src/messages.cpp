// Message protection on established contexts. EncryptMessage writes a
// 16-byte security token, transforms the data in place and, for a package
// with a block size, writes padding; DecryptMessage checks and reverses it.
//
// Security token, little-endian:
//   0      version
//   1      flags: encrypted
//   2      padding length
//   3      header check: XOR of bytes 0-2 and 4-7, so a changed length is
//          reported as an altered message rather than an incomplete one
//   4-7    data length
//   8-15   MAC over bytes 0-7, the plain data and the plain padding; it also
//          seeds the keystream. Each direction of a session has its own key,
//          so a side cannot unwrap its own messages, nor another session's.
#include <algorithm>
#include <vector>

#include "packages.h"
#include "sim.h"

namespace winsim::detail {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kMacOffset = 8;
constexpr BYTE kVersion = 0x57;
constexpr BYTE kEncrypted = 0x01;

struct Header {
  BYTE flags = 0;
  BYTE padding = 0;
  uint32_t dataLength = 0;
  uint64_t mac = 0;
};

BYTE headerCheck(const BYTE *header) {
  BYTE check = 0;
  for (size_t i = 0; i < kMacOffset; ++i) {
    check = static_cast<BYTE>(check ^ (i == 3 ? 0 : header[i]));
  }
  return check;
}

// Bytes 0-7, the part the MAC covers.
void writeFixedPart(const Header &header, BYTE *out) {
  out[0] = kVersion;
  out[1] = header.flags;
  out[2] = header.padding;
  for (int i = 0; i < 4; ++i) {
    out[4 + i] = static_cast<BYTE>(header.dataLength >> (8 * i));
  }
  out[3] = headerCheck(out);
}

void writeHeader(const Header &header, BYTE *out) {
  writeFixedPart(header, out);
  for (int i = 0; i < 8; ++i) {
    out[kMacOffset + static_cast<size_t>(i)] = static_cast<BYTE>(header.mac >> (8 * i));
  }
}

std::optional<Header> readHeader(const BYTE *in) {
  if (in[0] != kVersion || in[3] != headerCheck(in) || (in[1] & ~kEncrypted) != 0) {
    return std::nullopt;
  }
  Header header;
  header.flags = in[1];
  header.padding = in[2];
  for (int i = 3; i >= 0; --i) {
    header.dataLength = (header.dataLength << 8) | in[4 + i];
  }
  for (int i = 7; i >= 0; --i) {
    header.mac = (header.mac << 8) | in[kMacOffset + static_cast<size_t>(i)];
  }
  return header;
}

// plain holds the data followed by the padding.
uint64_t macOf(uint64_t key, const Header &header, const std::vector<BYTE> &plain) {
  std::vector<BYTE> covered(kMacOffset);
  writeFixedPart(header, covered.data());
  covered.insert(covered.end(), plain.begin(), plain.end());
  return digest(key, covered.data(), covered.size());
}

uint64_t sendingKey(const MessageSession &session) {
  return session.isServer ? session.serverToClientKey : session.clientToServerKey;
}

uint64_t receivingKey(const MessageSession &session) {
  return session.isServer ? session.clientToServerKey : session.serverToClientKey;
}

BYTE paddingFor(ULONG dataLength, ULONG blockSize, bool encrypt) {
  if (!encrypt || blockSize == 0) {
    return 0;  // only the cipher works in blocks
  }
  return static_cast<BYTE>((blockSize - dataLength % blockSize) % blockSize);
}

SECURITY_STATUS checkPaddingBuffer(const SecBuffer *padding, BYTE needed) {
  if (needed == 0) {
    return SEC_E_OK;
  }
  if (padding == nullptr) {
    return SEC_E_INVALID_TOKEN;
  }
  return padding->pvBuffer == nullptr || padding->cbBuffer < needed ? SEC_E_BUFFER_TOO_SMALL : SEC_E_OK;
}

SECURITY_STATUS protect(const MessageSession &session, bool encrypt, PSecBufferDesc message) {
  SecBuffer *token = findBuffer(message, SECBUFFER_TOKEN);
  SecBuffer *data = findBuffer(message, SECBUFFER_DATA);
  SecBuffer *padding = findBuffer(message, SECBUFFER_PADDING);
  if (token == nullptr || data == nullptr) {
    return SEC_E_INVALID_TOKEN;
  }
  if (data->pvBuffer == nullptr && data->cbBuffer != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (token->pvBuffer == nullptr || token->cbBuffer < kHeaderSize) {
    return SEC_E_BUFFER_TOO_SMALL;
  }
  Header header;
  header.flags = encrypt ? kEncrypted : 0;
  header.dataLength = data->cbBuffer;
  header.padding = paddingFor(data->cbBuffer, session.blockSize, encrypt);
  if (SECURITY_STATUS status = checkPaddingBuffer(padding, header.padding); status != SEC_E_OK) {
    return status;
  }
  auto *bytes = static_cast<BYTE *>(data->pvBuffer);
  std::vector<BYTE> body(bytes, bytes + data->cbBuffer);
  body.insert(body.end(), header.padding, header.padding);
  header.mac = macOf(sendingKey(session), header, body);
  if (encrypt) {
    applyKeystream(sendingKey(session), header.mac, body.data(), body.size());
  }
  std::copy_n(body.begin(), data->cbBuffer, bytes);
  if (padding != nullptr) {
    std::copy(body.begin() + data->cbBuffer, body.end(), static_cast<BYTE *>(padding->pvBuffer));
    padding->cbBuffer = header.padding;
  }
  writeHeader(header, static_cast<BYTE *>(token->pvBuffer));
  token->cbBuffer = kHeaderSize;
  return SEC_E_OK;
}

// Where a protected message lies: its security token, then the data and the
// padding back to back, whether given as one stream or as token and data.
struct ProtectedParts {
  const BYTE *header;
  BYTE *body;
  size_t bodySize;
  SecBuffer *data;  // receives the plain data
};

SECURITY_STATUS locateParts(PSecBufferDesc message, ProtectedParts &parts) {
  SecBuffer *stream = findBuffer(message, SECBUFFER_STREAM);
  SecBuffer *token = findBuffer(message, SECBUFFER_TOKEN);
  parts.data = findBuffer(message, SECBUFFER_DATA);
  SecBuffer *first = stream != nullptr ? stream : token;
  if (first == nullptr || parts.data == nullptr) {
    return SEC_E_INVALID_TOKEN;
  }
  if (first->pvBuffer == nullptr && first->cbBuffer != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (first->cbBuffer < kHeaderSize) {
    return stream != nullptr ? SEC_E_INCOMPLETE_MESSAGE : SEC_E_INVALID_TOKEN;
  }
  parts.header = static_cast<const BYTE *>(first->pvBuffer);
  if (stream != nullptr) {
    parts.body = static_cast<BYTE *>(stream->pvBuffer) + kHeaderSize;
    parts.bodySize = stream->cbBuffer - kHeaderSize;
    return SEC_E_OK;
  }
  if (parts.data->pvBuffer == nullptr && parts.data->cbBuffer != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  parts.body = static_cast<BYTE *>(parts.data->pvBuffer);
  parts.bodySize = parts.data->cbBuffer;
  return SEC_E_OK;
}

// Checks the whole message before anything is written back, so a rejected
// message is left as it came.
SECURITY_STATUS unprotect(const MessageSession &session, const ProtectedParts &parts, bool &encrypted) {
  auto header = readHeader(parts.header);
  if (!header) {
    return SEC_E_MESSAGE_ALTERED;
  }
  size_t expected = static_cast<size_t>(header->dataLength) + header->padding;
  if (parts.bodySize != expected) {
    return parts.bodySize < expected ? SEC_E_INCOMPLETE_MESSAGE : SEC_E_MESSAGE_ALTERED;
  }
  encrypted = (header->flags & kEncrypted) != 0;
  std::vector<BYTE> plain(parts.body, parts.body + parts.bodySize);
  if (encrypted) {
    applyKeystream(receivingKey(session), header->mac, plain.data(), plain.size());
  }
  if (macOf(receivingKey(session), *header, plain) != header->mac) {
    return SEC_E_MESSAGE_ALTERED;
  }
  std::copy(plain.begin(), plain.end(), parts.body);
  parts.data->pvBuffer = parts.body;
  parts.data->cbBuffer = header->dataLength;
  return SEC_E_OK;
}

// DecryptMessage on an established context's session.
SECURITY_STATUS decrypt(const MessageSession &session, PSecBufferDesc message, ULONG *qop) {
  ProtectedParts parts{};
  if (SECURITY_STATUS status = locateParts(message, parts); status != SEC_E_OK) {
    return status;
  }
  bool encrypted = false;
  if (SECURITY_STATUS status = unprotect(session, parts, encrypted); status != SEC_E_OK) {
    return status;
  }
  if (auto placement = takeDataPlacement(); placement && findBuffer(message, SECBUFFER_STREAM) != nullptr) {
    // Computed as a number: the place may lie outside the stream.
    auto start = reinterpret_cast<uintptr_t>(parts.header) + static_cast<uintptr_t>(placement->offset);
    parts.data->pvBuffer = reinterpret_cast<void *>(start);
    parts.data->cbBuffer = placement->length;
  }
  if (qop != nullptr) {
    *qop = encrypted ? 0 : SECQOP_WRAP_NO_ENCRYPT;
  }
  return SEC_E_OK;
}

}  // namespace
}  // namespace winsim::detail

using namespace winsim::detail;

WINSIM_API SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle phContext, ULONG fQOP,
                                                    PSecBufferDesc pMessage, ULONG) {
  return sessionCall("EncryptMessage", phContext, [&](const MessageSession &session) {
    if (fQOP != 0 && fQOP != SECQOP_WRAP_NO_ENCRYPT) {
      return SEC_E_INVALID_PARAMETER;
    }
    if (fQOP == 0 && !session.confidentiality) {
      return SEC_E_QOP_NOT_SUPPORTED;  // encryption was not negotiated
    }
    return protect(session, fQOP == 0, pMessage);
  });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG,
                                                    ULONG *pfQOP) {
  return sessionCall("DecryptMessage", phContext,
                     [&](const MessageSession &session) { return decrypt(session, pMessage, pfQOP); });
}
