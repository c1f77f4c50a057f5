// Key batches: the entry parser, the report's name, and a whole batch on a simulated Lumarel 460
// against a report and a data file written by hand.
#include "tests/automation_fixture.h"

#include <sys/stat.h>

#include <sstream>

#include <cstdlib>
#include <ctime>

#include "app/bas_app.h"
#include "automation/text_input.h"
#include "testing/file_size_limit.h"
#include "vbrt/convert.h"

namespace autotest {
namespace {

using namespace basAutomation;

std::string ReadFile(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string Golden(const std::string& name) {
    const char* source = std::getenv("LUMAREL_SOURCE");
    return ReadFile(fsys::path(source ? source : ".") / "imagelift/automation/tests/golden" / name);
}

class KeyBatch : public AutomationTest {
protected:
    void SetUp() override {
        AutomationTest::SetUp();
        // Report dates are local time: the test's zone is fixed.
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

TEST_F(KeyBatch, FieldsCommentsTagsAndBlanks) {
    EXPECT_EQ(SplitDelimitedFields("  a b ,\"c, d\" tail,e\r\n\r\nf\nlast"),
              (std::vector<std::string>{"a b", "c, d", "e", "", "f", "last"}));
    EXPECT_EQ(SplitDelimitedFields("\"open to the end"), (std::vector<std::string>{"open to the end"}));

    struct {
        const char* in;
        const char* out;
        int errors;
    } html[] = {
        {"<b>write</b> --single KEY", "write --single KEY", 0},
        {"<td>read</td><td>0A</td>", "read0A", 0},
        {"read x <y", "read x <y", 1},
        {"a > b", "a > b", 1},
        {"<i>a</i> <b", "a <b", 1},
    };
    for (const auto& c : html) {
        ClearLines();
        EXPECT_EQ(StripHTML(c.in, "4"), c.out);
        EXPECT_EQ(Count("HtmlParse ERROR"), c.errors) << c.in;
    }
    EXPECT_TRUE(Find("StripHTML: HtmlParse ERROR - '<' with no '>', line 4.  Exiting abnormally."));
    EXPECT_EQ(StripComments("read x # note"), "read x ");
    EXPECT_EQ(StripComments("# all"), "");

    std::string line = "\tread\t\t0A3C7E1000010002   KEY  ";
    std::vector<std::string> words;
    EXPECT_EQ(SplitArguments(line, words), 1);
    EXPECT_EQ(words, (std::vector<std::string>{"read", "0A3C7E1000010002", "KEY"}));
}

TEST_F(KeyBatch, ReportNamesNeverReplaceTheBatch) {
    struct {
        const char* batch;
        const char* report;
    } cases[] = {
        {"BATCH/KEYS.TXT", "BATCH/KEYS.out.txt"},
        {"keys.html", "keys.out.html"},
        {"X.TXT.D\\KEYS.HTML", "X.TXT.D\\KEYS.out.html"},
        {"batch\\keys", "batch\\keys.out.txt"},
        {"keys.txt.bak", "keys.txt.bak.out.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(ReportFileName(c.batch), c.report);
}

// Every entry becomes an operation; one that cannot be performed as written is refused with its
// ERROR line (it becomes a FAILED row of the report and fails the run).
TEST_F(KeyBatch, EveryEntryBecomesAnOperationAndTheUnperformableOnesAreRefusedWithTheirMessage) {
    Text("b/data.txt", "# comment\r\nAB,CD # tail\r\n");
    Text("b/empty.txt", "# nothing but a comment\r\n");
    Text("b/ops.html",
         "<html><p>read 0A3C7E1000010002 SERIAL # no data file</p>\r\n"
         "<b>write</b> --single NAME data.txt\r\n"
         "write 0A3C7E1000010002 NAME\r\n"
         "read 0A3C7E1000010002\r\n"
         "erase 0A3C7E1000010002 NAME\r\n"
         "write --single NAME missing.txt\r\n"
         "write --single NAME empty.txt\r\n"
         "read 0A3C7E1000010002 KEY <span\r\nclass=x> read 0A3C7E1000010002 OTHER\r\n"
         "read 0A3C7E1000010003 A, read 0A3C7E1000010004 B</html>\r\n");
    State.KeyDataFolder = "B/";
    KeyOperationList ops(1);
    ASSERT_EQ(GetKeyOperationsFromFile("B/OPS.HTML", ops), 1);
    const ByteArray guid2{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02};
    struct Row {
        int32_t type;
        ByteArray device;
        const char* key;
        bool refused;
    };
    const Row rows[] = {
        {kKeyRead, guid2, "SERIAL", false},  {kKeyWrite, {2}, "NAME", false},   {kKeyWrite, guid2, "NAME", true},
        {kKeyRead, guid2, "", true},         {kKeyInvalid, guid2, "NAME", true}, {kKeyWrite, {2}, "NAME", true},
        {kKeyWrite, {2}, "NAME", true},      {kKeyRead, guid2, "KEY", true},    {kKeyInvalid, {}, "0A3C7E1000010002", true},  // "class=x> read <guid> OTHER"
        {kKeyRead, {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x03}, "A", false},
        {kKeyRead, {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x04}, "B", false},
    };
    ASSERT_EQ(ops.size(), std::size(rows) + 1);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i + 1));
        const KeyOperation& op = ops[i + 1];
        EXPECT_EQ(op.OperationType, rows[i].type);
        EXPECT_EQ(op.DeviceId, rows[i].device);
        EXPECT_EQ(op.KeyName, rows[i].key);
        EXPECT_EQ(op.Refused, rows[i].refused);
        EXPECT_EQ(op.Result, -1);
        if (op.Refused) {
            EXPECT_TRUE(op.Data.empty());
        }
    }
    EXPECT_EQ(ops[1].DataFile, "");
    EXPECT_EQ(ops[2].Data, vb::TextToBytes("ABCD"));
    for (const char* line : {
             "GetKeyOperationsFromFile: write operation takes 3 arguments, not 2",
             "GetKeyOperationsFromFile: read operation takes 2 or 3 arguments, not 1",
             "GetKeyOperationsFromFile: Invalid key operation (first parameter) specified in B/OPS.HTML",
             "GetKeyOperationsFromFile: key data file 'B/missing.txt' not found!",
             "GetKeyOperationsFromFile failed to read data from file 'B/empty.txt'!",
             "StripHTML: HtmlParse ERROR - '<' with no '>', line 8.  Exiting abnormally.",
             "StripHTML: HtmlParse ERROR - '>' with no '<', line 9.  Exiting abnormally.",
         }) {
        const auto found = Find(line);
        ASSERT_TRUE(found) << line;
        EXPECT_EQ(found->level, basDebug::ERROR_LEVEL) << line;
    }
}

// A device ID is hex digits, two for each byte, with the separators identity texts allow; any
// other ID refuses its own entry with an ERROR line (its row shows no device) and the entries
// after it are read as usual. Read leniently, a stray letter would name another device.
TEST_F(KeyBatch, DeviceIdsThatAreNotHexBytesRefuseTheirEntryAlone) {
    const ByteArray guid1{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x01};
    struct Case {
        const char* id;
        ByteArray device;  // empty: refused
        const char* why;
    } cases[] = {
        {"0A3C7E1000010001", guid1, ""},
        {"0a3c7e1000010001", guid1, ""},
        {"0x0A3C7E1000010001", guid1, ""},
        {"&H0A3C7E10&H00010001", guid1, ""},
        {"--SINGLE", {2}, ""},
        {"0A3C7E100001000I", {}, "'I' is not a hex digit"},
        {"0X0A3C7E1000010001", {}, "'X' is not a hex digit"},
        {"0A3C-7E1000010001", {}, "'-' is not a hex digit"},
        {"0A3C7E100001000", {}, "it has an odd number of hex digits (15), two make a byte"},
        {"0x", {}, "it holds no hex digits"},
    };
    std::string batch;
    for (const Case& c : cases) batch += std::string("read ") + c.id + " SERIAL\r\n";
    KeyOperationList ops(1);
    ParseKeyOperations(batch, "ids.txt", ops);
    ASSERT_EQ(ops.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.id);
        EXPECT_EQ(ops[i + 1].DeviceId, c.device);
        EXPECT_EQ(ops[i + 1].Refused, c.device.empty());
        EXPECT_EQ(ops[i + 1].KeyName, "SERIAL");
        if (*c.why) {
            const auto found = Find(std::string("GetKeyOperationsFromFile: device ID '") + c.id + "' is not valid (" +
                                    c.why + "); the operation is not performed.");
            ASSERT_TRUE(found) << ::testing::PrintToString(Messages());
            EXPECT_EQ(found->level, basDebug::ERROR_LEVEL);
        }
    }

    // On the bus: the entry with the stray letter is a FAILED row, and no device gets its key.
    AddDevice("d0", boottest::Config(sim::lumarel::ProtocolVariant::V1, 0));
    AddDevice("d1", boottest::Config(sim::lumarel::ProtocolVariant::V1, 1));
    ASSERT_EQ(Rescan(), 1);
    Text("name.txt", "Lumarel-7\r\n");
    Text("k.txt", "write 0A3C7E100001000I NAME name.txt\r\nwrite 0A3C7E1000010001 NAME name.txt\r\n");
    EXPECT_EQ(PerformUnattendedOperations({"", "/R K.TXT"}), 1);
    EXPECT_EQ(ExitCode(), 1);
    Dev("d0", [](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.keys().count("NAME"), 0u); });
    Dev("d1", [](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.keys().count("NAME"), 1u); });
    const std::string report = ReadFile("K.out.txt");
    EXPECT_NE(report.find("Write </td><td>  </td><td> NAME </td><td> FAILED OPERATION </td><td> FAILED </td>"),
              std::string::npos)
        << report;
}

// A batch holds at most 1000 operations: the entries past them are counted, said in the report,
// and fail the run.
TEST_F(KeyBatch, EntriesPastTheLimitAreCountedAndSaid) {
    std::string batch;
    for (int i = 0; i < 1003; ++i) batch += "read --single K" + std::to_string(i) + "\r\n";
    Text("k.txt", batch);
    KeyOperationList ops(1);
    size_t leftOut = 0;
    ASSERT_EQ(GetKeyOperationsFromFile("k.txt", ops, &leftOut), 1);
    EXPECT_EQ(ops.size(), kMaxKeyOperations + 1);
    EXPECT_EQ(leftOut, 3u);
    EXPECT_EQ(Count("GetKeyOperationsFromFile: more than 1000 operations in k.txt; the rest is not performed."), 1);
    EXPECT_EQ(DumpKeyBatchOutput(ops, "k.txt", leftOut), 1);
    EXPECT_NE(ReadFile("k.out.txt").find("\r\n# 1000 operations performed.\r\n<br>\r\n# 3 further entries were not "
                                         "performed (a batch holds at most 1000).\r\n<br>\r\n# ****"),
              std::string::npos);
}

// Data files stay inside the batch's folder: a name that is absolute or climbs out of it, or
// reaches outside through a link, is an ERROR line and a FAILED row; nothing is read or written.
TEST_F(KeyBatch, DataFileNamesOutsideTheBatchFolderAreRefused) {
    Text("outside.txt", "SECRET\r\n");
    Text("b/inside.txt", "OK\r\n");
    Text("b/sub/deeper.txt", "DEEP\r\n");
    fsys::create_symlink(fsys::current_path(), "b/up");
    fsys::create_symlink(fsys::current_path() / "outside.txt", "b/alias.txt");
    State.KeyDataFolder = "b/";
    struct Case {
        const char* name;
        bool allowed;
    } cases[] = {
        {"inside.txt", true},         {"sub/deeper.txt", true},      {"sub\\..\\inside.txt", true},
        {"./inside.txt", true},       {"../outside.txt", false},     {"..\\outside.txt", false},
        {"sub/../../outside.txt", false}, {"/etc/passwd", false},    {"\\etc\\passwd", false},
        {"C:\\outside.txt", false},  {"\\\\server\\share\\x", false}, {"up/outside.txt", false},
        {"alias.txt", false},
    };
    for (const auto& c : cases) {
        for (const char* verb : {"read", "write"}) {
            SCOPED_TRACE(std::string(verb) + " " + c.name);
            ClearLines();
            KeyOperationList ops(1);
            ParseKeyOperations(std::string(verb) + " 0A3C7E1000010001 KEY " + c.name, "b/ops.txt", ops);
            ASSERT_EQ(ops.size(), 2u);
            EXPECT_EQ(ops[1].Refused, !c.allowed);
            EXPECT_EQ(Count("is outside the folder of b/ops.txt; the operation is not performed."), c.allowed ? 0 : 1);
            if (!c.allowed || std::string(verb) == "read") {
                EXPECT_TRUE(ops[1].Data.empty()) << "nothing was read";
            }
        }
    }

    // A refused entry is never sent to the device and stands in the report as a failure.
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-0042")); });
    Text("b/keys.txt", "read 0A3C7E1000010001 SERIAL ../outside.txt\r\nwrite 0A3C7E1000010001 NAME ../outside.txt\r\n");
    EXPECT_EQ(PerformKeyBatchOperation("b/keys.txt"), 1);
    EXPECT_EQ(ReadFile("outside.txt"), "SECRET\r\n");
    Dev("d", [](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.keys().count("NAME"), 0u); });
    const std::string report = ReadFile("b/keys.out.txt");
    EXPECT_NE(report.find("Read </td><td> 0A 3C 7E 10 00 01 00 01 </td><td> SERIAL </td><td> FAILED OPERATION </td><td> "
                          "FAILED </td>"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Write </td><td> 0A 3C 7E 10 00 01 00 01 </td><td> NAME </td><td> FAILED OPERATION </td><td> "
                          "FAILED </td>"),
              std::string::npos)
        << report;
}

// A report whose name is taken by a link is not written through it.
TEST_F(KeyBatch, TheReportIsNotWrittenThroughASymbolicLink) {
    Text("elsewhere.txt", "kept\n");
    Text("b/keys.txt", "read 0A3C7E1000010001 SERIAL\r\n");
    fsys::create_symlink(fsys::current_path() / "elsewhere.txt", "b/keys.out.txt");
    EXPECT_EQ(PerformKeyBatchOperation("b/keys.txt"), 1);
    EXPECT_EQ(ReadFile("elsewhere.txt"), "kept\n");
    EXPECT_TRUE(Find("Cannot write the report 'b/keys.out.txt': it is a symbolic link, which is not written through."));
}

// A FIFO as the batch or as a key data file would block the run for ever.
TEST_F(KeyBatch, ABatchOrDataFileThatIsNotARegularFileIsRefused) {
    ASSERT_EQ(::mkfifo("pipe.txt", 0600), 0);
    EXPECT_EQ(PerformKeyBatchOperation("pipe.txt"), -1);
    EXPECT_TRUE(Find("GetKeyOperationsFromFile: \"pipe.txt\" is not a regular file.  Can't perform operation!"));

    Text("keys.txt", "write --single NAME pipe.txt\r\n");
    KeyOperationList ops(1);
    EXPECT_EQ(GetKeyOperationsFromFile("keys.txt", ops), 1);
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_TRUE(ops[1].Refused);
    EXPECT_TRUE(Find("GetKeyOperationsFromFile: key data file 'pipe.txt' is not a regular file!"));
    ByteArray data;
    EXPECT_EQ(GetKeyDataFromFile("pipe.txt", data), -1);
}

TEST_F(KeyBatch, ABatchOnTheDeviceWritesItsReportAndDataFilesAsWrittenByHand) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-0042")); });
    Text("batch/keys.txt",
         "# key batch\r\n"
         "read 0A3C7E1000010001 SERIAL serial.txt   # the serial number\r\n"
         "<b>write</b> --single NAME name.txt\r\n"
         "read FFFFFFFFFFFFFFFF X\r\n");
    Text("batch/name.txt", "# a comment\r\nLumarel-7\r\n");
    Text("script-data/1394_write_status.txt", "");
    State.StatusFileName = "script-data\\1394_write_status.txt";
    basApp::CommandLineRawText = "/R batch/keys.txt";

    EXPECT_EQ(PerformUnattendedOperations({"", "/R BATCH/KEYS.TXT"}), 1);
    basApp::CommandLineRawText.clear();

    std::string golden = Golden("keys.out.txt");
    golden = vb::Replace(golden, "@CWD@", fsys::current_path().string());
    EXPECT_EQ(ReadFile("batch/KEYS.out.txt"), golden);
    EXPECT_EQ(ReadFile("batch/serial.txt"), Golden("serial.txt"));
    // The written key holds the data line of its file; read back, the file gives the same key.
    Dev("d", [](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.keys().at("NAME"), vb::TextToBytes("Lumarel-7")); });
    ByteArray again;
    EXPECT_EQ(GetKeyDataFromFile("batch/serial.txt", again), 1);
    EXPECT_EQ(again, vb::TextToBytes("SN-0042"));
    EXPECT_TRUE(Find("# FAILED, code 0xFFFFFFFF"));
    EXPECT_TRUE(Find("PerformKeyOperations: failed to get handle for device 'FF FF FF FF FF FF FF FF'"));
    EXPECT_TRUE(opened_.empty()) << "nothing is shown without /S";
    // The written key's file is the user's: it stays as it was.
    EXPECT_EQ(ReadFile("batch/name.txt"), "# a comment\r\nLumarel-7\r\n");
    // One row FAILED: the run fails, though the batch itself ran.
    EXPECT_EQ(ExitCode(), 1);
}

TEST_F(KeyBatch, AnyFailedRowFailsTheRunAndAWrittenFileNeverChanges) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-0042")); });
    // A quoted field keeps its comma; a comment is no data.
    const std::string data = "# the device's name\r\n\"Lumarel,7\"   # quoted: one field\r\n";
    Text("name.txt", data);
    struct Case {
        const char* batch;
        int exitCode;
        const char* why;
    };
    const Case cases[] = {
        {"write 0A3C7E1000010001 NAME name.txt\r\nread --single SERIAL\r\n", 0, "every row SUCCESS"},
        {"write 0A3C7E1000010001 NAME name.txt\r\nread --single LACKING\r\n", 1, "a key the device lacks"},
        {"write 0A3C7E1000010009 NAME name.txt\r\n", 1, "no such device"},
        {"write 0A3C7E1000010001 NAME name.txt\r\nread --single SERIAL name.txt\r\n", 1,
         "a read naming the write's data file"},
        {"read --single SERIAL k.txt\r\n", 1, "a read naming the batch itself"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Text("k.txt", c.batch);
        EXPECT_EQ(PerformUnattendedOperations({"", "/R K.TXT"}), 1);
        EXPECT_EQ(ExitCode(), c.exitCode);
        EXPECT_EQ(ReadFile("name.txt"), data);
        EXPECT_EQ(ReadFile("k.txt"), c.batch);
        Dev("d", [](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.keys().at("NAME"), vb::TextToBytes("Lumarel,7")); });
    }
    // With no device on the bus at all, "--single" fails its row too.
    ASSERT_TRUE(bus_.RemoveNode("d"));
    ASSERT_EQ(Rescan(), 1);
    Text("k.txt", "read --single SERIAL\r\n");
    EXPECT_EQ(PerformUnattendedOperations({"", "/R K.TXT"}), 1);
    EXPECT_EQ(ExitCode(), 1);
}

// The report's row of each operation, one line each ("Read </td><td> ... </td><td> FAILED </td><td> ").
std::vector<std::string> ReportRows(const std::string& report) {
    std::vector<std::string> rows;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("Read </td><td> ") || line.starts_with("Write </td><td> ") ||
            line.starts_with("Invalid </td><td> "))
            rows.push_back(line.substr(0, line.size() - (line.ends_with("\r") ? 1 : 0)));
    return rows;
}

// A read's data file that cannot be written (a folder in its place, a folder that does not exist,
// a file of the run itself, one an earlier read wrote) fails its row with an ERROR line; the
// rows after it, a completed write among them, are still reported, and the run fails. A data
// file that is written holds a secret: it is its owner's alone, whatever the umask.
TEST_F(KeyBatch, ADataFileThatCannotBeWrittenFailsItsRowAndTheReportGoesOn) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-0042")); });
    fsys::create_directories("folder.txt/inside");
    Text("name.txt", "Lumarel-7\r\n");
    Text("script-data/1394_write_status.txt", "the run's first line\r\n");
    State.StatusFileName = "script-data\\1394_write_status.txt";
    Text("k.txt",
         "read --single SERIAL folder.txt\r\n"
         "read --single SERIAL nowhere/x.txt\r\n"
         "write --single NAME name.txt\r\n"
         "read --single SERIAL copy.txt\r\n"
         "read --single SERIAL script-data/1394_write_status.txt\r\n"
         "read --single SERIAL K.out.txt\r\n"
         "read --single SERIAL COPY.TXT\r\n");
    const mode_t umask = ::umask(0);
    EXPECT_EQ(PerformUnattendedOperations({"", "/R K.TXT"}), 1);
    ::umask(umask);
    EXPECT_EQ(ExitCode(), 1);

    const std::string cells = " </td><td> 0A 3C 7E 10 00 01 00 01 </td><td> ";
    EXPECT_EQ(ReportRows(ReadFile("K.out.txt")),
              (std::vector<std::string>{
                  "Read" + cells + "SERIAL </td><td> FAILED OPERATION </td><td> FAILED </td><td> ",
                  "Read" + cells + "SERIAL </td><td> FAILED OPERATION </td><td> FAILED </td><td> ",
                  "Write" + cells + "NAME </td><td> <A HREF=\"name.txt\">name.txt</A> </td><td> SUCCESS </td><td> ",
                  "Read" + cells + "SERIAL </td><td> <A HREF=\"copy.txt\">copy.txt</A> </td><td> SUCCESS </td><td> ",
                  "Read" + cells + "SERIAL </td><td> FAILED OPERATION </td><td> FAILED </td><td> ",
                  "Read" + cells + "SERIAL </td><td> FAILED OPERATION </td><td> FAILED </td><td> ",
                  "Read" + cells + "SERIAL </td><td> FAILED OPERATION </td><td> FAILED </td><td> ",
              }));
    for (const char* line : {
             "DumpKeyBatchOutput: failed to remove existing file'folder.txt', aborting operation!",
             "DumpKeyBatchOutput: the data file 'folder.txt' could not be written (Is a directory); the data read is "
             "lost.",
             "DumpKeyBatchOutput: the data file 'nowhere/x.txt' could not be written (No such file or directory); the "
             "data read is lost.",
             "DumpKeyBatchOutput: 'script-data/1394_write_status.txt' is the status file of this run; the data read is "
             "not written over it.",
             "DumpKeyBatchOutput: 'K.out.txt' is the report of this batch; the data read is not written over it.",
             "DumpKeyBatchOutput: 'COPY.TXT' was written by an earlier read of this batch; the data read is not "
             "written over it.",
         }) {
        const auto found = Find(line);
        ASSERT_TRUE(found) << line;
        EXPECT_EQ(found->level, basDebug::ERROR_LEVEL);
    }
    EXPECT_TRUE(fsys::is_directory("folder.txt/inside"));
    EXPECT_EQ(ReadFile("script-data/1394_write_status.txt"), "the run's first line\r\n");
    EXPECT_NE(ReadFile("copy.txt").find("\r\nSN-0042\r\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat("copy.txt", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside the data files.
    for (const auto& entry : fsys::directory_iterator("."))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".keydata.")) << entry.path();
}

// A full disk (here a file-size limit, its signal ignored): a data file that does not take its
// data fails its row and leaves the file it would replace as it was; a report that cannot be
// written whole fails the run with an ERROR line.
TEST_F(KeyBatch, WritesThatTheDiskRefusesFailAloudAndReplaceNothing) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    const std::string serial(6000, 'S');
    Dev("d", [&](sim::lumarel::Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes(serial)); });
    Text("old.txt", "the earlier read\r\n");
    struct Case {
        const char* batch;
        rlim_t limit;
        const char* line;
    } cases[] = {
        // Room for the report, not for the data.
        {"read --single SERIAL old.txt\r\n", 4000,
         "DumpKeyBatchOutput: the data file 'old.txt' could not be written (File too large); the data read is lost."},
        // Room for neither: the report is cut short.
        {"read --single SERIAL old.txt\r\nread --single NOSUCH\r\nread --single NOSUCH\r\n", 500,
         "DumpKeyBatchOutput: the report 'k.out.txt' could not be written (File too large)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.batch);
        ClearLines();
        Text("k.txt", c.batch);
        KeyOperationList ops(1);
        State.KeyDataFolder.clear();
        ASSERT_EQ(GetKeyOperationsFromFile("k.txt", ops), 1);
        ASSERT_EQ(PerformKeyOperations(ops), 1);
        int32_t dumped = 0;
        {
            testing_support::FileSizeLimit limit(c.limit);
            dumped = DumpKeyBatchOutput(ops, "k.txt");
        }
        const auto found = Find(c.line);
        ASSERT_TRUE(found) << ::testing::PrintToString(Messages());
        EXPECT_EQ(found->level, basDebug::ERROR_LEVEL);
        EXPECT_EQ(ops[1].Result, -1);
        EXPECT_EQ(ReadFile("old.txt"), "the earlier read\r\n");
        if (c.limit == 4000) {
            EXPECT_EQ(dumped, 1);
            EXPECT_EQ(ReportRows(ReadFile("k.out.txt")).size(), 1u);
        } else {
            EXPECT_EQ(dumped, -1);
        }
    }
}

TEST_F(KeyBatch, SingleTakesTheFirstTargetOnTheBus) {
    AddDevice("a", boottest::Config(sim::lumarel::ProtocolVariant::V1, 1));
    AddDevice("b", boottest::Config(sim::lumarel::ProtocolVariant::V1, 2));
    ASSERT_EQ(Rescan(), 1);
    // The first target ever seen leaves the bus: the batch takes the one still there.
    ASSERT_TRUE(bus_.RemoveNode("a"));
    ASSERT_EQ(Rescan(), 1);
    Dev("b", [](sim::lumarel::Lumarel460& d) { d.SetKey("K", vb::TextToBytes("v")); });
    Text("k.txt", "read --single K out.txt\r\n");
    EXPECT_EQ(PerformKeyBatchOperation("k.txt"), 1);
    EXPECT_NE(ReadFile("out.txt").find("#   Device GUID = 0A 3C 7E 10 00 01 00 02"), std::string::npos);
}

TEST_F(KeyBatch, MissingBatchOrFailedDevicesStillAnswerAsTheyShould) {
    State.ShowStatusOnExit = true;
    State.StatusFileName = "status.txt";
    EXPECT_EQ(PerformKeyBatchOperation("NONE.TXT"), -1);
    EXPECT_TRUE(Find("PerformKeyBatchOperation: \"NONE.TXT\" does not exist.  Can't perform operation!  (current "
                     "directory = " +
                     fsys::current_path().string() + ")"));
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0], (fsys::current_path() / "status.txt").string());

    // Every device call fails: the report has a FAILED row per operation and the batch answers 1.
    Text("all.txt", "read 0A3C7E1000010001 A\r\nread 0A3C7E1000010002 B\r\n");
    EXPECT_EQ(PerformKeyBatchOperation("all.txt"), 1);
    const std::string report = ReadFile("all.out.txt");
    size_t rows = 0;
    for (size_t p = report.find("FAILED OPERATION </td><td> FAILED </td>"); p != std::string::npos;
         p = report.find("FAILED OPERATION </td><td> FAILED </td>", p + 1))
        ++rows;
    EXPECT_EQ(rows, 2u);
    ASSERT_EQ(opened_.size(), 2u);
    EXPECT_EQ(opened_[1], (fsys::current_path() / "all.out.txt").string());
}

// A read never names the program's settings and status-log store, its engine's side files, its
// compacted copy or its template: the compacted copy replaces the store when the program ends,
// and the key's data, or the store's, would be gone.
TEST_F(KeyBatch, AReadNeverReplacesTheStoreOrItsFiles) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-0042")); });
    // Without a store open, its place is the current folder, where start-up opens it.
    const std::vector<std::string> existing = {"db1.mdb", "db1.mdb-wal", "db1.mdb-shm", "db1.mdb-journal",
                                               "db1_clean.mdb"};
    for (const auto& name : existing) Text(name, "store " + name);
    const std::vector<std::string> named = {"db1.mdb",         "DB1.MDB",           "db1.mdb-wal",
                                            "db1.mdb-shm",     "db1.mdb-journal",   "db1-compacted.mdb",
                                            "db1_clean.mdb",   "./sub/../db1.mdb"};
    std::string batch;
    for (const auto& name : named) batch += "read --single SERIAL " + name + "\r\n";
    batch += "read --single SERIAL serial.txt\r\n";
    Text("k.txt", batch);
    fsys::create_directories("sub");
    EXPECT_EQ(PerformUnattendedOperations({"", "/R K.TXT"}), 1);
    EXPECT_EQ(ExitCode(), 1);

    for (const auto& name : existing) EXPECT_EQ(ReadFile(name), "store " + name);
    EXPECT_FALSE(fsys::exists("db1-compacted.mdb"));
    for (const auto& name : named)
        EXPECT_EQ(Count("DumpKeyBatchOutput: '" + name +
                        "' is a file of this program's settings and status log store; the data read is not "
                        "written over it."),
                  1)
            << name;
    const auto rows = ReportRows(ReadFile("K.out.txt"));
    ASSERT_EQ(rows.size(), named.size() + 1);
    for (size_t i = 0; i < named.size(); ++i) EXPECT_NE(rows[i].find("FAILED OPERATION"), std::string::npos) << rows[i];
    EXPECT_NE(rows.back().find("SUCCESS"), std::string::npos) << rows.back();
}

}  // namespace
}  // namespace autotest
