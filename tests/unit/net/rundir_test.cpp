// The daemon's directories: refusals before anything is written, modes of what it makes (no
// privilege; a symlink, a foreign owner and the lock: tests/net/test_service.py).
#include "net/daemon/rundir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "net/proto/protocol.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct Scratch {
    std::string dir;
    Scratch() {
        std::string t = (fs::temp_directory_path() / "l2pt-rundir-XXXXXX").string();
        dir = ::mkdtemp(t.data());
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string operator/(const char* name) const { return dir + "/" + name; }
};

std::string refusal(const std::string& path) {
    try {
        netp::RunDir r(path, std::nullopt);
    } catch (const netp::DirError& e) {
        return e.what();
    }
    return "accepted";
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(RunDir, RefusesWhatAnotherUserCouldHaveArranged) {
    Scratch s;
    // The run directory, or one above it that is not sticky, writable by its group or others:
    // each write bit alone is refused.
    for (const auto bit : {fs::perms::group_write, fs::perms::others_write}) {
        const auto mode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec | bit;
        const fs::path loose = s / (bit == fs::perms::group_write ? "group" : "others");
        fs::create_directory(loose);
        fs::permissions(loose, mode);
        EXPECT_THAT(refusal(loose.string()), HasSubstr("can be written by its group or others"));
        EXPECT_TRUE(fs::is_empty(loose));
        fs::create_directory(loose / "open");
        fs::permissions(loose / "open", mode);
        EXPECT_THAT(refusal((loose / "open/run").string()), HasSubstr("can be written by others"));
        EXPECT_FALSE(fs::exists(loose / "open/run"));
    }
    // Files the daemon does not know stay where they are.
    fs::create_directory(s / "used");
    std::ofstream(s / "used/notes.txt") << "mine";
    std::ofstream(s / "used/state.yaml") << "";
    EXPECT_THAT(refusal(s / "used"), HasSubstr("does not know (notes.txt, state.yaml)"));
    EXPECT_TRUE(fs::exists(s / "used/notes.txt"));
    EXPECT_THAT(refusal(s / "missing/run"), HasSubstr("cannot open"));
}

TEST(RunDir, WhatTheDaemonMakesHasItsModeAndNothingIsLeftHalfWritten) {
    Scratch s;
    const std::string path = s / "run";
    fs::create_directory(path);
    fs::permissions(path, fs::perms(0755));
    // A crash left a socket and a temporary; the operators' group is one the daemon is in.
    std::ofstream(path + "/" + netp::kCtlSocket) << "";
    std::ofstream(path + "/.l2pt-tmp-chassis.yaml") << "half";
    const auto cwd = fs::current_path();
    netp::RunDir run(path, ::getegid());
    EXPECT_EQ(modeOf(path), 0750u);
    EXPECT_FALSE(fs::exists(path + "/.l2pt-tmp-chassis.yaml"));
    // A socket's name appears only once it listens (a task watching the directory connects
    // as soon as it sees task.sock made).
    const netp::Fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(watch.get(), path.c_str(), IN_CREATE), 0);
    netp::Fd ctl = run.listen(netp::kCtlSocket, 0660, ::getegid());
    netp::Fd task = run.listen(netp::kTaskSocket, 0600, std::nullopt);
    alignas(inotify_event) char events[4096];
    const ssize_t n = ::read(watch.get(), events, sizeof events);
    ASSERT_GT(n, 0);
    for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(events + at);
        EXPECT_TRUE(std::string_view(e->name).starts_with(".l2pt-tmp-")) << e->name;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    EXPECT_EQ(modeOf(path + "/" + netp::kCtlSocket), 0660u);
    EXPECT_EQ(modeOf(path + "/" + netp::kTaskSocket), 0600u);
    EXPECT_EQ(fs::current_path(), cwd);  // binding inside the directory left ours alone

    run.dir().replaceFile("chassis.yaml", "chassis: {name: a}\n", 0644);
    run.dir().replaceFile("chassis.yaml", "chassis: {name: b}\n", 0644);
    EXPECT_EQ(run.dir().readFile("chassis.yaml", 64), "chassis: {name: b}\n");
    EXPECT_EQ(modeOf(path + "/chassis.yaml"), 0644u);
    EXPECT_THAT(run.dir().entries(),
                ::testing::ElementsAre("chassis.yaml", "chassisd.pid", "ctl.sock", "task.sock"));
    EXPECT_EQ(run.dir().readFile("chassis.yaml", 19), "chassis: {name: b}\n");  // its limit
    EXPECT_THROW(run.dir().readFile("chassis.yaml", 18), netp::DirError);
    EXPECT_EQ(run.dir().readFile("absent", 4), std::nullopt);
}

TEST(RunDir, ChassisNamesThatCannotBeAPathComponent) {
    for (const char* name : {"", ".", "..", ".hidden", "a/b", "../x", "tab\there", "del\x7f"})
        EXPECT_TRUE(netp::chassisNameRefusal(name).has_value()) << name;
    EXPECT_TRUE(netp::chassisNameRefusal(std::string(65, 'a')).has_value());
    EXPECT_FALSE(netp::chassisNameRefusal(std::string(64, 'a')).has_value());
    for (const char* name : {"sw1", "pe-1.lab", "a..b", "core_0"})
        EXPECT_FALSE(netp::chassisNameRefusal(name).has_value()) << name;
}

}  // namespace
