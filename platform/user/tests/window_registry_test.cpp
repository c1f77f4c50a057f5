#include "user/window_registry.h"

#include "testing/temp_root.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace user;

class WindowRegistry : public testing_support::TempRootTest {
protected:
    WindowRegistry() : TempRootTest("window_registry_test") {}
};

// A child process that publishes windows on command and reports each step through a pipe.
class Publisher {
public:
    Publisher() {
        EXPECT_EQ(::pipe(toChild_), 0);
        EXPECT_EQ(::pipe(fromChild_), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild_[1]);
            ::close(fromChild_[0]);
            run();
            ::_exit(0);
        }
        ::close(toChild_[0]);
        ::close(fromChild_[1]);
    }
    ~Publisher() {
        ::close(toChild_[1]);
        ::close(fromChild_[0]);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Sends one command letter and waits for the child's answer (a number).
    long Do(char command) {
        EXPECT_EQ(::write(toChild_[1], &command, 1), 1);
        long answer = 0;
        EXPECT_EQ(::read(fromChild_[0], &answer, sizeof answer), ssize_t(sizeof answer));
        return answer;
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t Pid() const { return pid_; }

private:
    void run() {
        char c;
        while (::read(toChild_[0], &c, 1) == 1) {
            long answer = 0;
            switch (c) {
            case 'p':  // the downloader's frame and its hidden application window
                PublishTopWindow(11, "ThunderRT6MDIForm", "Downloader / Shell", true);
                PublishTopWindow(12, "ThunderRT6Main", "Imagelift", false);
                break;
            case 'c': SetTopWindowCaption(11, "Downloader\r\nrenamed"); break;
            case 'w': WithdrawTopWindow(11); break;
            case 's': {  // a long-lived program started by this process must not keep it "alive"
                // The pipe's write end closes on exec, so EOF tells that the program runs.
                int execed[2];
                (void)!::pipe2(execed, O_CLOEXEC);
                pid_t g = ::fork();
                if (g == 0) {
                    ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
                    ::_exit(127);
                }
                ::close(execed[1]);
                char ignored;
                while (::read(execed[0], &ignored, 1) > 0) {
                }
                ::close(execed[0]);
                answer = g;
                break;
            }
            }
            (void)!::write(fromChild_[1], &answer, sizeof answer);
        }
    }
    int toChild_[2]{};
    int fromChild_[2]{};
    pid_t pid_ = -1;
};

TEST_F(WindowRegistry, AnotherProcessFindsWindowsByCaptionAndClassUntilWithdrawnOrKilled) {
    Publisher child;
    EXPECT_FALSE(FindTopWindow(std::nullopt, std::string("Downloader / Shell")));
    child.Do('p');

    auto byCaption = FindTopWindow(std::nullopt, std::string("Downloader / Shell"));
    ASSERT_TRUE(byCaption);
    EXPECT_EQ(byCaption->pid, child.Pid());
    EXPECT_EQ(byCaption->hwnd, 11);
    EXPECT_TRUE(byCaption->visible);
    EXPECT_FALSE(FindTopWindow(std::nullopt, std::string("Downloader / shell")));  // caption is exact
    auto byClass = FindTopWindow(std::string("thunderrt6main"), std::nullopt);     // class ignores case
    ASSERT_TRUE(byClass);
    EXPECT_EQ(byClass->caption, "Imagelift");
    EXPECT_FALSE(byClass->visible);
    EXPECT_EQ(EnumTopWindows().size(), 2u);

    child.Do('c');
    EXPECT_FALSE(FindTopWindow(std::nullopt, std::string("Downloader / Shell")));
    EXPECT_TRUE(FindTopWindow(std::string("ThunderRT6MDIForm"), std::string("Downloader\r\nrenamed")));

    child.Do('w');
    EXPECT_FALSE(FindTopWindow(std::string("ThunderRT6MDIForm"), std::nullopt));
    EXPECT_TRUE(FindTopWindow(std::string("ThunderRT6Main"), std::nullopt));

    pid_t grandchild = pid_t(child.Do('s'));
    child.Kill();
    EXPECT_FALSE(FindTopWindow(std::string("ThunderRT6Main"), std::nullopt));
    EXPECT_TRUE(EnumTopWindows().empty());
    // The finder cleared what the dead process left.
    EXPECT_TRUE(std::filesystem::is_empty(WindowRegistryFolder()));
    ::kill(grandchild, SIGKILL);
    ::waitpid(grandchild, nullptr, 0);
}

TEST_F(WindowRegistry, EntriesOfADeadProcessWithThisProcessNumberAreReplaced) {
    // A predecessor with our pid died and left an entry and an unlocked lock file.
    std::filesystem::create_directories(WindowRegistryFolder());
    std::string prefix = WindowRegistryFolder() + "/" + std::to_string(::getpid());
    std::ofstream(prefix + "-99.win") << "class=Stale\ncaption=old\nvisible=1\nhwnd=99\n";
    std::ofstream(prefix + ".lock");
    EXPECT_FALSE(FindTopWindow(std::string("Stale"), std::nullopt));

    std::ofstream(prefix + "-99.win") << "class=Stale\ncaption=old\nvisible=1\nhwnd=99\n";
    // Another ended process left only its lock file: publishing clears it away.
    std::string otherLock = WindowRegistryFolder() + "/" + std::to_string(::getpid() + 1) + ".lock";
    std::ofstream(otherLock).flush();
    PublishTopWindow(5, "ThunderRT6FormDC", "Mine", false);
    EXPECT_FALSE(std::filesystem::exists(otherLock));
    EXPECT_FALSE(FindTopWindow(std::string("Stale"), std::nullopt));
    auto mine = FindTopWindow(std::nullopt, std::string("Mine"));
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->pid, ::getpid());
    SetTopWindowVisible(5, true);
    EXPECT_TRUE(FindTopWindow(std::nullopt, std::string("Mine"))->visible);
    WithdrawTopWindow(5);
    EXPECT_FALSE(FindTopWindow(std::nullopt, std::string("Mine")));
}

}  // namespace
