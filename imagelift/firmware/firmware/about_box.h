// frmAbout: the modal "About" dialog: the program's title and version, its file, the time the
// program file was written (its build), where it runs from and the data folder it works in.
#pragma once

#include <string>

#include "forms/controls.h"
#include "forms/form.h"

class frmAbout : public forms::Form {
public:
    frmAbout();

    forms::Label lblApplicationName{this, "lblApplicationName"};
    forms::Label lblVersion{this, "lblVersion"};
    forms::Label lblExeFilename{this, "lblExeFilename"};
    forms::Label lblBuildDate{this, "lblBuildDate"};
    forms::Label lblExePath{this, "lblExePath"};
    forms::Label lblDataPath{this, "lblDataPath"};
    forms::CommandButton cmdClose{this, "cmdClose"};

    // The program file whose write time is the build date; empty (the default) means the
    // running program's own file.
    std::string ProgramFile;

    void cmdClose_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
};
