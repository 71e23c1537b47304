package com.corvane.zel.ntseclink.windowsjvm;

import com.corvane.zel.ntseclink.WinUtil;

/** A second JVM's work: load the jar's DLL through a native's first call and print its answer. */
public final class ChildMain {
    private ChildMain() {
    }

    /**
     * Prints the NetBIOS name, which only a loaded library gives; with
     * {@code terminate CODE}, ends the process through the library instead.
     *
     * @param arguments none, or {@code terminate} and an exit code
     */
    public static void main(String[] arguments) {
        if (arguments.length == 2 && arguments[0].equals("terminate")) {
            WinUtil.TerminateProcess(Integer.parseInt(arguments[1]));
            System.out.println("still running after TerminateProcess");
            return;
        }
        System.out.println("netbios=" + WinUtil.GetComputerNameNetBIOS());
    }
}
