package com.corvane.zel.ntseclink.bench;

import com.sun.jna.Function;
import com.sun.jna.NativeLibrary;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;

/**
 * The simulated platform records every call it answers in a journal that
 * only grows; a benchmark that takes this state has it emptied before each
 * invocation, outside the timing, so that no call pays for the history of
 * earlier ones and the process does not grow by a journal entry per call.
 * Windows keeps no such journal.
 */
@State(Scope.Thread)
public class PlatformJournal {
    private static Function clearJournal;

    /** Empties the journal before the next invocation. */
    @Setup(Level.Invocation)
    public void beforeInvocation() {
        empty();
    }

    /** Empties the journal now. */
    static void empty() {
        clearFunction().invokeVoid(new Object[0]);
    }

    private static synchronized Function clearFunction() {
        if (clearJournal == null) {
            // The file the library loaded, so the same machine: the system loads it once.
            clearJournal = NativeLibrary.getInstance(BuildTree.platform()).getFunction("_ZN6winsim12clearJournalEv");
        }
        return clearJournal;
    }
}
