// Plumbing shared by the program layer's sources (not part of its interface).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace basApp::internal {

// Cuts `text` (trimmed in place) into tokens as ParseCommandLine does, reporting each problem
// to `problem` instead of logging it.
void CutCommandLine(std::string& text, std::vector<std::string>& tokens,
                    const std::function<void(const std::string&)>& problem);

// Starts the program clock: every log line's run time counts from here.
void StartProgramClock();

// Forgets a run of Main (tests run it more than once in one process): unloads the frame it
// loaded, closes the instance mutex, lets ShutDown run again.
void ForgetRun();

// Ends the process through the hook a test installed, else at once.
void EndProcess(int code);

// While an unattended run is asked for on the command line but not yet started, a message for
// the user (a box that would wait for an answer nobody gives) is held as a line instead; start-up
// logs the held lines at ERROR once the run's status file is open.
void HoldUserMessages(bool hold);
bool HoldingUserMessages();
void HoldUserMessage(const std::string& line);
std::vector<std::string> TakeHeldUserMessages();

}  // namespace basApp::internal
