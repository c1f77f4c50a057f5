// The config ROM viewer, the text viewer and the help window inside the running program: the
// viewer finds its node by node number on a bus where another maker's node comes first, its
// report (copied and saved) matches a report written by hand for the Lumarel 460's ROM, the
// text viewer fits its text box and then keeps its saved place, and the help window opens the
// pages that ship with the program.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "windows/config_rom_viewer.h"
#include "windows/help_window.h"
#include "windows/text_viewer.h"
#include "tests/program_on_bus.h"
#include "support/date_text.h"

namespace {

using apptest::ProgramOnBus;
namespace fsys = std::filesystem;

std::string ReadFile(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    EXPECT_EQ(at, text.size()) << "text after the last CR LF";
    return lines;
}

class Viewers : public ProgramOnBus {
protected:
    static std::string Golden() {
        const char* source = std::getenv("LUMAREL_SOURCE");
        return ReadFile(fsys::path(source ? source : ".") / "imagelift/app/tests/data/lumarel460_bootloader_rom.txt");
    }
    const std::string rule_ = std::string(56, '*');
};

TEST_F(Viewers, TheConfigRomOfTheSelectedNodeIsShownCopiedAndSaved) {
    Start();
    ASSERT_TRUE(SelectNode(1));
    Main().mnuViewConfigROM.Choose();
    frmConfigROM* viewer = Newest<frmConfigROM>();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->Visible());
    const std::string caption = "Config ROM for Node 1  ID=0A3C7E10 00010001  mfg=Halvorin Inc  mdl=LUMA Rel Bootloader";
    EXPECT_EQ(viewer->Caption(), caption);
    // The device's own ROM (the node table's second element is the local host).
    const std::string golden = Golden();
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(viewer->ReportText(), golden);

    viewer->cmdCopyConfigRomToClipboard.Press();
    EXPECT_EQ(forms::Clipboard::GetText(), golden);

    const fsys::path file = fsys::path(root_) / "rom.txt";
    boxes_.AnswerFile(file.string());
    viewer->cmdSaveToDisk.Press();
    const std::string saved = ReadFile(file);
    const std::string header = rule_ + "\r\n" + caption + "\r\nConfig Rom read on: " +
                               basUtils::FormatSystemTime(fs::LocalTimeNow(), "yyyy-mm-dd hh:nn:ss") + "\r\nApp='" +
                               ctx_.App.EXEName + "' Ver=1.8.41\r\n" + rule_ + "\r\n\r\n";
    EXPECT_EQ(saved, header + golden);
    EXPECT_TRUE(viewer->SaveImage((PictureFolder() / "config_rom_viewer.png").string()));

    // An existing file is replaced only on Yes.
    std::ofstream(file, std::ios::binary) << "kept";
    boxes_.AnswerFile(file.string());
    boxes_.AnswerMessage(forms::vbNo);
    viewer->cmdSaveToDisk.Press();
    EXPECT_EQ(ReadFile(file), "kept");
    EXPECT_EQ(boxes_.asked().back().title, "Overwrite");
    EXPECT_EQ(boxes_.asked().back().prompt, "'" + file.string() + "' exists.  Overwrite (y/n)?");
    boxes_.AnswerFile(file.string());
    boxes_.AnswerMessage(forms::vbYes);
    viewer->cmdSaveToDisk.Press();
    EXPECT_EQ(ReadFile(file), header + golden);
    // A cancelled dialog writes nothing and says nothing.
    boxes_.AnswerFile("");
    viewer->cmdSaveToDisk.Press();
    EXPECT_FALSE(Logged("in cmdSaveToDisk"));
    EXPECT_EQ(boxes_.unscripted(), 0);

    // Each command opens another viewer; closing one lets it go.
    Main().mnuViewConfigROM_Click();
    ASSERT_NE(Newest<frmConfigROM>(), viewer);
    const size_t open = basApp::OpenWindows().size();
    viewer->cmdClose.Press();
    EXPECT_FALSE(viewer->IsLoaded());
    EXPECT_EQ(basApp::OpenWindows().size(), open - 1);
}

TEST_F(Viewers, NodesWithoutAReportableRom) {
    Start();
    // The foreign node 0 is not in the node table: no ROM to show for it.
    frmConfigROM viewer;
    viewer.Load();
    viewer.NodeNum(0);
    ASSERT_EQ(viewer.trvConfigRomAppleFormat.Nodes.Count(), 1);
    EXPECT_EQ(viewer.trvConfigRomAppleFormat.Nodes(1).Text(), "frmConfigROM: Invalid Node Number: 0");

    // A minimal ROM: an empty tree, an empty copy, a saved file of the header alone.
    bas1394::NodeRecord minimal;
    minimal.DriverType = bas1394::kDriverVdev;
    minimal.NodeNumber = 5;
    minimal.ConfigRom.BusInfo.RawBytes = {1, 0x0A, 0x3C, 0x7E};
    bas1394::State.NodeTable.push_back(minimal);
    viewer.NodeNum(5);
    EXPECT_EQ(viewer.trvConfigRomAppleFormat.Nodes.Count(), 0);
    const auto line = Logged("Minimal config rom on node # 5");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, 13);
    EXPECT_EQ(line->module, "frmConfigROM");
    forms::Clipboard::SetText("old");
    viewer.cmdCopyConfigRomToClipboard_Click();
    EXPECT_EQ(forms::Clipboard::GetText(), "");
    const fsys::path file = fsys::path(root_) / "empty.txt";
    boxes_.AnswerFile(file.string());
    viewer.cmdSaveToDisk_Click();
    const auto lines = CrLfLines(ReadFile(file));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], rule_);
    EXPECT_EQ(lines[1], "Config ROM");
    EXPECT_EQ(lines[5], "");
    viewer.Unload();
}

TEST_F(Viewers, TheTextViewerFitsItsTextThenKeepsItsPlace) {
    Start();
    std::shared_ptr<frmConfig> viewer = frmConfig::Open("[Config]\r\nSampleRate=48000\r\nClock=Internal");
    ASSERT_TRUE(viewer->IsLoaded());
    EXPECT_EQ(viewer->Caption(), "Config (CNE) Data from FWP");
    EXPECT_EQ(viewer->RTB1.Text(), "[Config]\r\nSampleRate=48000\r\nClock=Internal");
    EXPECT_EQ(viewer->RTB1.FontName(), "Courier New");
    EXPECT_EQ(viewer->RTB1.FontSize(), 8);
    // The client area is the text box, to the pixel.
    EXPECT_NEAR(viewer->ScaleWidth(), viewer->RTB1.Width(), 15);
    EXPECT_NEAR(viewer->ScaleHeight(), viewer->RTB1.Height(), 15);
    EXPECT_TRUE(viewer->SaveImage((PictureFolder() / "text_viewer.png").string()));

    // Moved and closed, the next one opens where this one was.
    viewer->Move(600, 450, 6000, 4500);
    const double left = viewer->Left(), top = viewer->Top(), width = viewer->Width(), height = viewer->Height();
    viewer->Unload();
    viewer.reset();
    auto next = frmConfig::Open("x", "Config of pkg.fwp");
    EXPECT_EQ(next->Caption(), "Config of pkg.fwp");
    EXPECT_NEAR(next->Left(), left, 15);
    EXPECT_NEAR(next->Top(), top, 15);
    EXPECT_NEAR(next->Width(), width, 15);
    EXPECT_NEAR(next->Height(), height, 15);
    // The text box follows the window.
    EXPECT_NEAR(next->RTB1.Width(), next->ScaleWidth(), 30);
}

TEST_F(Viewers, TheHelpMenuOpensThePagesThatShipWithTheProgram) {
    Start();
    MDIForm1& frame = *basApp::Frame();
    frame.mnuUserGuide.Choose();
    frmHelp* guide = Newest<frmHelp>();
    ASSERT_NE(guide, nullptr);
    EXPECT_EQ(guide->Caption(), "User Guide v1.8.1");
    EXPECT_TRUE(guide->Visible());
    EXPECT_EQ(guide->WebBrowser1.LocationURL(), MDIForm1::HelpLink("/v1.8.1/index.html"));
    EXPECT_NE(guide->WebBrowser1.DocumentText().find("Imagelift User Guide"), std::string::npos);

    // The browser fills the window, also after a minimise and restore.
    guide->Width = 7000;
    guide->WindowState = forms::vbMinimized;
    guide->WindowState = forms::vbNormal;
    EXPECT_EQ(guide->WebBrowser1.Left(), 0);
    EXPECT_EQ(guide->WebBrowser1.Top(), 0);
    EXPECT_NEAR(guide->WebBrowser1.Width(), guide->ScaleWidth(), 15);
    EXPECT_NEAR(guide->WebBrowser1.Height(), guide->ScaleHeight(), 15);
    EXPECT_TRUE(guide->SaveImage((PictureFolder() / "help_window.png").string()));

    frame.mnuReleaseNotes_Click();
    frmHelp* notes = Newest<frmHelp>();
    ASSERT_NE(notes, guide);
    EXPECT_EQ(notes->Caption(), "Release Notes");
    EXPECT_NE(notes->WebBrowser1.DocumentText().find("Recent changes"), std::string::npos);

    // Every link between the pages leads to a page that ships.
    const fsys::path help = bin_ / "help";
    const std::regex link("href=\"([^\"#]*)");
    int links = 0;
    for (const auto& entry : fsys::recursive_directory_iterator(help)) {
        if (entry.path().extension() != ".html") continue;
        const std::string page = ReadFile(entry.path());
        for (std::sregex_iterator m(page.begin(), page.end(), link), end; m != end; ++m, ++links)
            EXPECT_TRUE(fsys::exists(entry.path().parent_path() / (*m)[1].str()))
                << entry.path() << " links to " << (*m)[1];
    }
    EXPECT_GT(links, 0);
}

}  // namespace
