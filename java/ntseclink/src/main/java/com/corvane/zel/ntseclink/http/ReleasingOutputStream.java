package com.corvane.zel.ntseclink.http;

import com.corvane.zel.ntseclink.ServerContext;
import java.io.FilterOutputStream;
import java.io.IOException;
import java.io.OutputStream;

/**
 * The response body of an authenticated exchange: closing it, which closing
 * the exchange does, also releases the client's context.
 */
final class ReleasingOutputStream extends FilterOutputStream {
    private final ServerContext context;

    ReleasingOutputStream(OutputStream body, ServerContext context) {
        super(body);
        this.context = context;
    }

    @Override
    public void write(byte[] bytes, int offset, int length) throws IOException {
        out.write(bytes, offset, length);
    }

    @Override
    public void close() throws IOException {
        try {
            super.close();
        } finally {
            context.close();
        }
    }
}
