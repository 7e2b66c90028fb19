// A pseudo-terminal standing in for a serial device, linked as COMn in a
// private configuration directory for the length of one test. The test holds
// the device's end in `master`; the program opens "COMn" as usual.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "module_state.h"

struct pty_port_test : ::testing::Test {
    explicit pty_port_test(int com) : com_(com) {}

    int master = -1;
    std::string dir;

    void SetUp() override {
        module_state_reset();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        char templ[] = "/tmp/qv-pty-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        mkdir((dir + "/quorvantis").c_str(), 0700);
        ASSERT_EQ(symlink(ptsname(master), link().c_str()), 0);
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        had_xdg_ = xdg != nullptr;
        if (had_xdg_) saved_xdg_ = xdg;
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }

    void TearDown() override {
        module_state_reset();
        if (master >= 0) close(master);
        unlink(link().c_str());
        rmdir((dir + "/quorvantis").c_str());
        rmdir(dir.c_str());
        if (had_xdg_) {
            setenv("XDG_CONFIG_HOME", saved_xdg_.c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
    }

private:
    std::string link() const { return dir + "/quorvantis/com" + std::to_string(com_); }

    int com_;
    std::string saved_xdg_;
    bool had_xdg_ = false;
};
