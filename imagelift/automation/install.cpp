// The program layer reaches unattended runs through its automation seam; this fills it in.
#include "automation/automation.h"

#include "app/bas_app.h"

namespace basAutomation {

void InstallAutomation() {
    auto& seam = basApp::Automation();
    seam.InitializeCommandLineOptions = [] { return InitializeCommandLineOptions(); };
    seam.HasOperationOption = [](const std::vector<std::string>& tokens) { return HasOperationOption(tokens); };
    seam.Initialize = [] { return Initialize(); };
    seam.PerformUnattendedOperations = [](const std::vector<std::string>& tokens) {
        return PerformUnattendedOperations(tokens);
    };
    seam.Shutdown = [] { Shutdown(); };
    seam.SetShowStatusOnExit = [] { State.ShowStatusOnExit = true; };
    seam.ExitCode = [] { return ExitCode(); };
}

}  // namespace basAutomation
