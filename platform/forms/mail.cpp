#include "forms/mail.h"

#include "clock/clock.h"
#include "fs/fs.h"
#include "vbrt/error.h"

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace forms {

namespace sfs = std::filesystem;

namespace {

std::atomic<MailHandover*> g_mailer{nullptr};
std::atomic<int32_t> g_nextSession{1};

std::string findProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Hand-over folders a mail program has surely read by now.
void removeOldCopies(const sfs::path& mailRoot) {
    std::error_code ec;
    auto now = clk::WallNow();
    for (auto& entry : sfs::directory_iterator(mailRoot, ec)) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) != 0) continue;
        auto modified = std::chrono::system_clock::from_time_t(st.st_mtime);
        if (now - modified > std::chrono::hours(24 * 7)) sfs::remove_all(entry.path(), ec);
    }
}

// A private copy of the attachment that stays until the mail program has surely read it.
std::string copyAttachment(const std::string& path) {
    sfs::path mailRoot = ::fs::PlatformRoot() / "mail";
    std::error_code ec;
    if (!::fs::CreatePrivateFolders(mailRoot))
        vb::Raise(kMailFailure, "MAPIMessages", "Cannot prepare the attachment " + path + ": the folder " +
                                                    mailRoot.string() + " may not be used");
    removeOldCopies(mailRoot);
    std::string tmpl = (mailRoot / "XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) vb::Raise(kMailFailure, "MAPIMessages", "Cannot prepare the attachment " + path);
    sfs::path copy = sfs::path(tmpl) / sfs::path(path).filename();
    sfs::copy_file(path, copy, sfs::copy_options::overwrite_existing, ec);
    // The copy takes the original's mode: it is for the owner only, as everything under the root.
    if (!ec) sfs::permissions(copy, sfs::perms::owner_read | sfs::perms::owner_write, ec);
    if (ec) vb::Raise(kMailFailure, "MAPIMessages", "Cannot copy the attachment " + path + ": " + ec.message());
    return copy.string();
}

}  // namespace

bool XdgEmailHandover::Available() { return !findProgram(program_).empty(); }

void XdgEmailHandover::Send(const MailMessage& message, bool /*showDialog: the compose window always shows*/) {
    std::string program = findProgram(program_);
    if (program.empty()) vb::Raise(kMailFailure, "MAPIMessages", "No mail program found (" + program_ + ")");
    std::vector<std::string> args{program};
    if (!message.subject.empty()) args.insert(args.end(), {"--subject", message.subject});
    if (!message.noteText.empty()) args.insert(args.end(), {"--body", message.noteText});
    if (!message.attachmentPath.empty()) args.insert(args.end(), {"--attach", copyAttachment(message.attachmentPath)});
    if (!message.recipient.empty()) args.push_back(message.recipient);

    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) vb::Raise(kMailFailure, "MAPIMessages", "Cannot start " + program);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        vb::Raise(kMailFailure, "MAPIMessages",
                  "The mail program failed (" + program_ + " exit code " +
                      std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
}

void FakeMailHandover::Send(const MailMessage& message, bool) {
    if (failWith != 0) vb::Raise(failWith, "MAPIMessages");
    sent.push_back(message);
    std::ifstream in(message.attachmentPath, std::ios::binary);
    attachmentBytes.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

MailHandover& Mailer() {
    static XdgEmailHandover standard;
    MailHandover* m = g_mailer.load();
    return m ? *m : standard;
}

void SetMailer(MailHandover* mailer) { g_mailer.store(mailer); }

void MAPISession::SignOn() {
    if (SessionID != 0) return;
    if (Mailer().Available()) SessionID = g_nextSession.fetch_add(1);
}

void MAPIMessages::Compose() {
    RecipAddress.clear();
    MsgSubject.clear();
    MsgNoteText.clear();
    AttachmentPathName.clear();
}

void MAPIMessages::Send(bool showDialog) {
    if (SessionID == 0) vb::Raise(kMailFailure, "MAPIMessages", "No mail session");
    Mailer().Send({RecipAddress, MsgSubject, MsgNoteText, AttachmentPathName}, showDialog);
}

}  // namespace forms
