// The about box.
#include "firmware/about_box.h"

#include <filesystem>

#include "fs/fs.h"
#include "support/date_text.h"
#include "support/program_context.h"
#include "vbrt/convert.h"

frmAbout::frmAbout() : forms::Form("frmAbout") {
    cmdClose.Click = [this] { cmdClose_Click(); };
}

void frmAbout::Form_Design() {
    Caption = "About";
    Move(0, 0, 7200, 3300);
    forms::Label* labels[] = {&lblApplicationName, &lblVersion, &lblExeFilename, &lblBuildDate, &lblExePath, &lblDataPath};
    for (size_t i = 0; i < std::size(labels); ++i) labels[i]->Move(240, 180 + double(i) * 360, 6720, 300);
    cmdClose.Caption = "&Close";
    cmdClose.Move(5760, 2400, 1200, 375);
}

void frmAbout::Form_Load() {
    const auto& app = imagelift::Ctx().App;
    // The program as it lies on this system: its real file (there is no ".exe" to add).
    const std::string file = ProgramFile.empty() ? fs::ProgramFolder() + "/" + fs::ProgramFileName() : ProgramFile;
    const std::filesystem::path path(file);
    lblApplicationName.Caption = "Application Name: " + app.Title;
    lblVersion.Caption = "Version: " + vb::CStr(app.Major) + "." + vb::CStr(app.Minor) + "." + vb::CStr(app.Revision);
    lblExeFilename.Caption = "Exe Filename: " + path.filename().string();
    lblBuildDate.Caption =
        "Build Date: " + basUtils::FormatWinDateTime(fs::GetFileLastWriteTime(file), "yyyy-mm-dd hh:nn:ss") + " utc";
    lblExePath.Caption = "Application Path: " + path.parent_path().string();
    lblDataPath.Caption = "Data Path: " + fs::CurDir();
}

void frmAbout::cmdClose_Click() { Unload(); }
