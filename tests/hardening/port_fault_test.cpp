// Port faults end to end: the built program on real pseudo-terminals, the test
// as the device. Each fault must end the program with its one message on
// standard output, its cause on standard error and exit status 1.
#include "tests/support/pty_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string program = TOLVANER_PATH;
const std::string prompt = "Enter user command: ";

TEST(PortFault, HangUpInTheMiddleOfARequest) {
    e2e::Pty pty;
    e2e::Session s({program, pty.path()}, &pty);
    ASSERT_TRUE(s.pump_until([&] { return s.out == prompt; }));
    s.type("v 1000 d\n");
    // Two of the five bytes are out; the third meets the hang-up.
    ASSERT_TRUE(s.pump_until([&] { return s.wire.size() >= 2; }));
    pty.hang_up();
    ASSERT_TRUE(s.finish(5000)) << "no endless faults after a hang-up";
    EXPECT_EQ(s.out,
              prompt + "Enter Pulse Value (1-65535): error occurred during write operation\n");
    EXPECT_EQ(s.err, "tolvaner: " + pty.path() + ": Input/output error\n");
    EXPECT_EQ(s.status, 1);
    EXPECT_LT(s.wire.size(), 5u);
}

// Runs `args` as an unprivileged user when the test runs as root, as root
// passes every permission check.
std::vector<std::string> as_unprivileged(std::vector<std::string> args) {
    if (geteuid() != 0) {
        return args;
    }
    args.insert(args.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    return args;
}

TEST(PortFault, APortTheUserMayNotOpen) {
    // A copy of the program that any user may run, wherever the build is.
    e2e::TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    std::string copy = dir.path() + "/tolvaner";
    std::filesystem::copy_file(program, copy);
    std::filesystem::permissions(copy, std::filesystem::perms(0755));

    e2e::Pty pty;
    std::string file = dir.path() + "/ttyS9";
    std::ofstream(file) << "";
    const char* mode = geteuid() == 0 ? "600" : "000";
    std::vector<std::pair<std::string, std::string>> ports{
        {pty.path(), std::string("Permission denied (mode ") + mode + ")"},
        {file, std::string("Permission denied (mode ") + mode + ")"}};
    // A device group's port, the everyday case: the cause names the group.
    const group* dialout = getgrnam("dialout");
    std::string grouped = dir.path() + "/ttyS8";
    std::ofstream(grouped) << "";
    if (geteuid() == 0 && dialout != nullptr && chown(grouped.c_str(), 0, dialout->gr_gid) == 0) {
        ports.push_back({grouped, "Permission denied: the port belongs to group dialout; join it "
                                  "(sudo usermod -aG dialout $USER), then log in again"});
    }
    // Only the owner (or its group) may open these; as root the program runs as nobody.
    for (const auto& [port, cause] : ports) {
        mode_t allowed = port == grouped ? 0660 : geteuid() == 0 ? 0600 : 0;
        ASSERT_EQ(chmod(port.c_str(), allowed), 0) << port;
        e2e::Run r = e2e::run(as_unprivileged({copy, port}), "x\n", &pty);
        EXPECT_EQ(r.out, "error occurred while opening comm port\n") << port;
        EXPECT_EQ(r.err, "tolvaner: " + port + ": " + cause + "\n") << port;
        EXPECT_EQ(r.status, 1) << port;
        EXPECT_TRUE(r.wire.empty()) << port;
    }
}

} // namespace
