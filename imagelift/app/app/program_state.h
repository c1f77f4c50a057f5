// The downloader's state, with one owner.
//
// Each layer keeps what it holds between calls in a record of its own, under the names the code
// uses everywhere: the program context (levels, time-outs, the store, the windows in force), the
// bus layer's node table and library binding (bas1394::State), the bootloader layer's target list
// and mutexes (basBootloader::State), the unattended run (basAutomation::State), the window kit's
// arrays and command line, and this layer's run of Main, main window, end of the process and
// notice-window hook. ProgramState is the one place that installs them, puts them back as program
// start leaves them, and closes what a run left open: the program has one for its whole life, a
// test one per case.
#pragma once

#include "support/program_context.h"

namespace imagelift {

class ProgramState {
public:
    ProgramState() = default;
    // Gives the context in force back (it does not tear the run down: see Teardown).
    ~ProgramState();
    ProgramState(const ProgramState&) = delete;
    ProgramState& operator=(const ProgramState&) = delete;

    // This state's context: the one in force from Install until Teardown.
    ProgramContext& Context() { return ctx_; }

    // Puts every layer's record back as program start leaves it and installs the context.
    void Install();
    // Puts every layer's record back as program start leaves it, from the top down: the run of
    // Main forgotten (its frame unloaded), no main window, no end-of-process hook, no notice
    // hook, the unattended run ended, the window kit emptied, the bootloader's and the bus
    // layer's records fresh. The context's values stay.
    static void ResetRecords();
    // Closes what a run left open (its frame and windows, the bootloader module's mutexes, the
    // access library), resets every record, lets go of the store and gives the context in force
    // back. Runs once; later calls do nothing.
    void Teardown();

private:
    ProgramContext ctx_;
    ProgramContext* previous_ = nullptr;
    bool installed_ = false;
};

}  // namespace imagelift
