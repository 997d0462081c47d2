// One whole session of the built program under valgrind's memcheck, on a real
// pseudo-terminal with the test as the device: every command, good replies,
// a checksum fault and a reply cut short. Memcheck must find nothing.
#include "tests/support/pty_harness.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using e2e::Bytes;
using e2e::frame;

TEST(Memcheck, AWholeSessionIsClean) {
    auto replies = std::make_shared<std::vector<Bytes>>(
        std::vector<Bytes>{frame({'I', 4, 'T', 'L', 'V', '1'}), frame({'C', 1, 0x85}),
                           frame({'R', 2, 0xE8, 0x03}), Bytes{'R', 2, 0xE8, 0x03, 0x00},
                           Bytes{'R', 2}, frame({'R', 1, 'A'}), frame({'R', 1, 0xC8})});
    e2e::Device device = [replies](const Bytes& request) -> std::optional<e2e::Answer> {
        if (request[0] != 'I' && request[0] != 'C' && request[0] != 'R') {
            return e2e::Answer{frame({request[0], 0})}; // answers settings too
        }
        if (replies->empty()) {
            return std::nullopt;
        }
        Bytes next = replies->front();
        replies->erase(replies->begin());
        return e2e::Answer{next};
    };
    e2e::Pty pty;
    e2e::Run r = e2e::run({VALGRIND_PATH, "--quiet", "--error-exitcode=99", "--leak-check=full",
                           "--errors-for-leak-kinds=definite,indirect", TOLVANER_PATH, pty.path()},
                          "? i c r v r k r s r m r d r q v 1000 v 0 s 4 m 2 a 7 d t b 0 b 1 "
                          "junk 5x x\n",
                          &pty, device);
    // Past the program's own fault causes, standard error is memcheck's.
    std::string memcheck = r.err;
    for (size_t at; (at = memcheck.find("tolvaner: ")) != std::string::npos;) {
        memcheck.erase(at, memcheck.find('\n', at) + 1 - at);
    }
    EXPECT_EQ(memcheck, "") << "memcheck found something";
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Product ID = TLV1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Packet checksum fault\nnumber of bytes read = 2\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("most recent DAC value = 200\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.requests.size(), 13u);
}

} // namespace
