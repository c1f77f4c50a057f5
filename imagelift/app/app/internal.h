// Plumbing shared by the program layer's sources (not part of its interface).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "windows/kit.h"

namespace basApp::internal {

// Cuts `text` (trimmed in place) into tokens as ParseCommandLine does, reporting each problem
// to `problem` instead of logging it.
void CutCommandLine(std::string& text, std::vector<std::string>& tokens,
                    const std::function<void(const std::string&)>& problem);

// Forgets a run of Main (tests run it more than once in one process): unloads the frame it
// loaded, closes the instance mutex, lets ShutDown run again.
void ForgetRun();

// Forgets the notice window's hook without touching the window (which may be gone already).
void ForgetNoticeHook();

// Ends the process through the hook a test installed, else at once.
void EndProcess(int code);

}  // namespace basApp::internal
