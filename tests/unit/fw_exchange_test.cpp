// The loader exchange of the firmware update against the scripted serial fake.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "console/console.h"
#include "fake_serial.h"
#include "firmware/fw_loader.h"
#include "module_state.h"
#include "out_capture.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

const std::string RECORD_1 = ":0400000001020304F2";
const std::string END_RECORD = ":00000001FF";

// A data record of 128 bytes: 267 characters, the longest the file check accepts.
std::string long_record() {
    std::string line = ":80000400";
    unsigned sum = 0x80 + 0x00 + 0x04 + 0x00;
    char pair[4];
    for (unsigned i = 0; i < 128; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", i);
        line += pair;
        sum += i;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100u - (sum & 0xFFu)) & 0xFFu);
    return line + pair;
}

struct fw_fixture : ::testing::Test {
    char path[32] = "/tmp/qv_fw_exchange_XXXXXX";
    FILE* input = nullptr;
    fake_serial* fake = nullptr;

    void SetUp() override {
        module_state_reset();
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        FILE* file = fdopen(fd, "w");
        std::fprintf(file, "# test firmware\r\n%s\r\n%s\r\n%s\r\n", RECORD_1.c_str(), long_record().c_str(),
                     END_RECORD.c_str());
        std::fclose(file);
        input = std::tmpfile();
        std::fputs("\n", input);  // the Enter key
        std::rewind(input);
        con_set_input(input);
        fake = &fake_install();
    }
    void TearDown() override {
        module_state_reset();
        std::fclose(input);
        std::remove(path);
    }
    void bytes(std::initializer_list<uint8_t> list) { fake->queue_bytes(std::vector<uint8_t>(list)); }
    int run(std::string& out) {
        out_capture capture;
        int result = firmware("COM3", path);
        out = capture.text();
        return result;
    }
};

TEST_F(fw_fixture, WholeTransfer) {
    fake->quiet();  // the drain
    bytes({0x05});
    bytes({0x06});
    bytes({0x06});
    for (int i = 0; i < 3; ++i) bytes({0x06});
    std::string out;
    EXPECT_EQ(run(out), 0);

    ASSERT_EQ(fake->writes.size(), 5u);
    EXPECT_EQ(fake->writes[0], std::vector<uint8_t>({0x16}));
    const std::vector<std::string> sent = {"QvNtIs1.0", RECORD_1 + "\r", long_record() + "\r", END_RECORD + "\r"};
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(std::string(fake->writes[i + 1].begin(), fake->writes[i + 1].end()), sent[i]) << i;
    }
    EXPECT_EQ(fake->writes[3].size(), 268u);  // the whole long record and its CR

    ASSERT_FALSE(fake->states_set.empty());
    EXPECT_EQ(fake->states_set[0].baud, 19200u);
    EXPECT_EQ(fake->opened, std::vector<std::string>({"COM3"}));
    // Per-read time-outs: the drain, the prompt, the sync, the identifier, each record.
    std::vector<uint32_t> constants;
    for (const serial_timeouts& t : fake->timeouts) constants.push_back(t.read_constant);
    EXPECT_EQ(constants, std::vector<uint32_t>({1, 110, 20010, 210, 5010, 110, 110, 110}));
    EXPECT_EQ(fake->reads, std::vector<uint32_t>({1024, 1, 1, 1, 1, 1, 1}));
    EXPECT_GE(fake->purges, 2);
    EXPECT_EQ(fake->closes, 1);
    EXPECT_EQ(fake->open_count, 0);
    EXPECT_EQ(port_handle, SERIAL_INVALID_HANDLE);
    EXPECT_NE(out.find("You have 20 seconds to do this...\n\n\r"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 66), "100.0%" + std::string(59, '=') + "\n");
}

TEST_F(fw_fixture, FailuresCloseThePort) {
    struct row {
        const char* name;
        std::vector<std::vector<uint8_t>> chunks;
        bool write_fails;
        int code;
        std::string message;
        int write_short = -1;  // >= 0: every write hands over only this many bytes
    };
    const std::vector<row> rows = {
        {"no prompt", {{}, {}}, false, -6, "\n\a\aError: did not receive the Quorvantis Firmware prompt!\n"},
        {"wrong prompt", {{}, {0x15}}, false, -6, "\n\a\aError: did not receive the Quorvantis Firmware prompt!\n"},
        {"sync not written", {{}, {0x05}}, true, -7,
         "\n\a\aError: wrote FIRMSYNC sync character, got error on port COM3\n"},
        {"no sync answer", {{}, {0x05}, {}}, false, -8, "\n\a\aError: did not synchronize with the Quorvantis!\n"},
        {"identifier refused", {{}, {0x05}, {0x06}, {0x15}}, false, -10,
         "\n\a\aError: did not receive QvNtIs identifier acknowledgement!\n"},
        // The one-byte sync goes whole, the nine identifier bytes do not; the
        // message names the six-character identifier, as the -10 message does.
        {"identifier not written", {{}, {0x05}, {0x06}}, false, -9,
         "\n\a\aError: wrote QvNtIs identifier, got error on port COM3\n", 1},
    };
    for (const row& r : rows) {
        fake = &fake_install();
        std::rewind(input);
        for (const auto& chunk : r.chunks) fake->queue_bytes(chunk);
        fake->write_fails = r.write_fails;
        fake->write_short = r.write_short;
        std::string out;
        EXPECT_EQ(run(out), r.code) << r.name;
        EXPECT_GE(out.size(), r.message.size());
        if (out.size() >= r.message.size()) {
            EXPECT_EQ(out.substr(out.size() - r.message.size()), r.message) << r.name;
        }
        EXPECT_EQ(fake->closes, 1) << r.name;
        EXPECT_EQ(fake->open_count, 0) << r.name;
    }
}

TEST_F(fw_fixture, PortThatCannotBeOpened) {
    fake->open_fails = true;
    std::string out;
    EXPECT_EQ(run(out), -5);
    const std::string tail = "\a\aError: could not open COM port COM3\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(fake->open_count, 0);
}

// The operator's Enter key, read between the file check and the transfer;
// reading it also turns the firmware file's descriptor into one of a
// directory, so every later read of the file fails (EISDIR): a file that
// breaks after it was checked.
struct breaking_enter {
    std::string file_path;
    bool given = false;
};

ssize_t breaking_enter_read(void* cookie, char* buf, size_t size) {
    breaking_enter& enter = *static_cast<breaking_enter*>(cookie);
    if (enter.given || size == 0) return 0;
    enter.given = true;
    DIR* fds = opendir("/proc/self/fd");
    if (fds != nullptr) {
        while (dirent* entry = readdir(fds)) {
            char target[256] = {};
            std::string link = std::string("/proc/self/fd/") + entry->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0 || enter.file_path != target) continue;
            int dir = open("/tmp", O_RDONLY | O_DIRECTORY);
            if (dir >= 0) {
                dup2(dir, static_cast<int>(std::strtol(entry->d_name, nullptr, 10)));
                close(dir);
            }
        }
        closedir(fds);
    }
    buf[0] = '\n';
    return 1;
}

TEST_F(fw_fixture, ReadErrorDuringTheTransfer) {
    breaking_enter enter{path};
    FILE* keys = fopencookie(&enter, "r", cookie_io_functions_t{breaking_enter_read, nullptr, nullptr, nullptr});
    ASSERT_NE(keys, nullptr);
    con_set_input(keys);
    fake->quiet();
    bytes({0x05});
    bytes({0x06});
    bytes({0x06});
    std::string out;
    int result = run(out);
    con_set_input(input);
    std::fclose(keys);
    ASSERT_TRUE(enter.given);
    EXPECT_EQ(result, -15);
    const std::string tail = "\n\n\n\a\aError: Firmware updating error: read error (" + std::string(std::strerror(EISDIR)) +
                             ") on Line 1- aborting!\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(fake->writes.size(), 2u);  // the sync and the identifier, no record
    EXPECT_EQ(fake->closes, 1);
}

TEST_F(fw_fixture, DrainOfADeviceThatNeverFallsQuiet) {
    fake->endless = true;
    std::string out;
    EXPECT_EQ(run(out), -6);  // the chatter is no prompt
    // The drain gives up after 5 seconds' worth of bytes at 19200 baud (9600
    // bytes): ten reads of 1024.
    size_t drain_reads = 0;
    for (uint32_t size : fake->reads) drain_reads += size == 1024 ? 1 : 0;
    EXPECT_EQ(drain_reads, 10u);
    EXPECT_EQ(fake->closes, 1);
}

TEST_F(fw_fixture, LateReplyIsReadAwayBeforeTheRecordGoesAgain) {
    // The first record's answer comes after its window: the loader drains the
    // line (the late ACK, then 100 ms of quiet), empties the queues, and only
    // then sends the record again, so each ACK it counts answers the copy it
    // has just sent. Once a record that went more than once is acknowledged,
    // the line must be quiet for a whole second before the next record goes:
    // an answer to an earlier copy may still be on its way.
    fake->quiet();  // the drain
    bytes({0x05});
    bytes({0x06});
    bytes({0x06});
    fake->quiet();  // record 1: nothing within its window
    bytes({0x06});  // its late ACK, read by the drain...
    fake->quiet();  // ...until the line is quiet
    bytes({0x06});  // the copy of record 1
    bytes({0x06});  // a late answer to the first copy, read away before the next record...
    fake->quiet();  // ...until a second has passed without a byte
    bytes({0x15});  // the long record is refused: no drain before its copy
    bytes({0x06});
    fake->quiet();  // it went twice: a second of quiet before the end record
    bytes({0x06});  // the end record went once: no drain after it
    std::string out;
    EXPECT_EQ(run(out), 0);

    std::vector<std::string> sent;
    for (const auto& w : fake->writes) sent.emplace_back(w.begin(), w.end());
    const std::vector<std::string> expected = {"\x16",
                                               "QvNtIs1.0",
                                               RECORD_1 + "\r",
                                               RECORD_1 + "\r",
                                               long_record() + "\r",
                                               long_record() + "\r",
                                               END_RECORD + "\r"};
    EXPECT_EQ(sent, expected);
    // The drain, the prompt, the sync, the identifier, record 1, the drain of
    // its late reply (two reads), the copy, a second's drain (two reads), the
    // long record twice, a second's drain, the end.
    EXPECT_EQ(fake->reads, std::vector<uint32_t>({1024, 1, 1, 1, 1, 1024, 1024, 1, 1024, 1024, 1, 1, 1024, 1}));
    std::vector<uint32_t> waits;
    for (const serial_timeouts& t : fake->read_timeouts) waits.push_back(t.read_constant);
    EXPECT_EQ(waits, std::vector<uint32_t>({110, 20010, 210, 5010, 110, 110, 110, 110, 1010, 1010, 110, 110, 1010, 110}));
    EXPECT_EQ(fake->purges, 5);  // open, first drain, drain before the copy, after record 1, after the long record
    EXPECT_NE(out.find("\n\a\aError: Firmware updating error: timed out on Line 2, resending.\n\r"),
              std::string::npos);
    EXPECT_NE(out.find("\n\a\aError: Firmware updating error: validation on Line 3, resending.\n\r"),
              std::string::npos);
    size_t redraws = 0;
    for (char c : out) redraws += c == '\r' ? 1 : 0;
    EXPECT_EQ(redraws, 3u);  // one progress line for each record acknowledged
    EXPECT_TRUE(fake->chunks.empty());
}

TEST_F(fw_fixture, CtrlCStopsTheUpdateBetweenExchanges) {
    // Ctrl-C while a read waits (the fake's n-th read): the update stops
    // with the interrupt line, sends nothing more (no record is resent, no
    // time-out is counted), and closes the port.
    const std::string INTERRUPTED = "\n\a\aError: interrupted by Ctrl-C!\n";
    struct row {
        const char* name;
        int read;  // 1 the drain, 2 the power-on wait, 3 the sync, 4 the identifier, 5 record 1, ...
        std::vector<std::string> sent;
        std::string tail;  // the end of the output
    };
    const row rows[] = {
        {"during the power-on wait", 2, {}, "You have 20 seconds to do this..." + INTERRUPTED},
        {"waiting for the sync answer", 3, {"\x16"}, "You have 20 seconds to do this..." + INTERRUPTED},
        {"waiting for the identifier's answer", 4, {"\x16", "QvNtIs1.0"}, "do this..." + INTERRUPTED},
        {"waiting for record 1's answer", 5, {"\x16", "QvNtIs1.0", RECORD_1 + "\r"}, "do this...\n\n" + INTERRUPTED},
        {"waiting for the long record's answer", 6, {"\x16", "QvNtIs1.0", RECORD_1 + "\r", long_record() + "\r"},
         std::string(19, '=') + INTERRUPTED},
    };
    for (const row& r : rows) {
        fake = &fake_install();
        std::rewind(input);
        fake->quiet();
        bytes({0x05});
        bytes({0x06});
        bytes({0x06});
        bytes({0x06});
        bytes({0x06});
        bytes({0x06});
        fake->interrupt_at_read = r.read;
        std::string out;
        EXPECT_EQ(run(out), -16) << r.name;
        std::vector<std::string> sent;
        for (const auto& w : fake->writes) sent.emplace_back(w.begin(), w.end());
        EXPECT_EQ(sent, r.sent) << r.name;
        ASSERT_GE(out.size(), r.tail.size()) << r.name;
        EXPECT_EQ(out.substr(out.size() - r.tail.size()), r.tail) << r.name;
        EXPECT_EQ(out.find("resending"), std::string::npos) << r.name;
        EXPECT_EQ(fake->closes, 1) << r.name;
        EXPECT_EQ(fake->open_count, 0) << r.name;
    }
}

TEST_F(fw_fixture, CtrlCDuringTheQuietWaitAfterAResentRecord) {
    // Record 1 is refused once; while the line is read until quiet after its
    // acknowledgement, Ctrl-C: the record counts as done, the next one does
    // not go.
    fake->quiet();
    bytes({0x05});
    bytes({0x06});
    bytes({0x06});
    bytes({0x12});
    bytes({0x06});
    fake->interrupt_at_read = 7;  // the quiet wait after record 1's copy
    std::string out;
    EXPECT_EQ(run(out), -16);
    ASSERT_EQ(fake->writes.size(), 4u);  // the sync, the identifier, record 1 twice
    size_t redraws = 0;
    for (char c : out) redraws += c == '\r' ? 1 : 0;
    EXPECT_EQ(redraws, 1u);
    EXPECT_EQ(out.substr(out.size() - 33), "\n\a\aError: interrupted by Ctrl-C!\n");
}

TEST_F(fw_fixture, CtrlCIsCaughtOnlyWhileTheDeviceIsWorkedWith) {
    // From the power-on wait to the last record Ctrl-C is the program's to
    // catch; before (at the questions) and after, the system's default
    // ends the program.
    std::vector<bool> caught;
    auto disposition = [] {
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        return now.sa_handler;
    };
    fake->answer = [&](const std::vector<uint8_t>&) {
        caught.push_back(disposition() != SIG_DFL);
        return std::vector<std::vector<uint8_t>>{};
    };
    fake->quiet();
    for (int i = 0; i < 6; ++i) bytes({0x06});
    fake->chunks[1] = {0x05};
    std::string out;
    EXPECT_EQ(disposition(), SIG_DFL);
    EXPECT_EQ(run(out), 0);
    EXPECT_EQ(caught, std::vector<bool>(5, true));  // every write: the sync, the identifier, three records
    EXPECT_EQ(disposition(), SIG_DFL);
}

}  // namespace
