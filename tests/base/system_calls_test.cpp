// The error text and the whole writes: texts that fit any buffer, and every byte delivered in
// order through interrupted and partial writes, across pieces of every size including empty ones.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/system_calls.h"

namespace zrq {
namespace {

TEST(ErrorText, TheSystemsTextCutToTheBuffer) {
    EXPECT_EQ(errorText(ENOSPC), "No space left on device");
    char small[8];
    const char* unknown = errorText(4242, small, sizeof small);  // "Unknown error 4242", cut
    EXPECT_LT(std::strlen(unknown), sizeof small);
    EXPECT_STREQ(errorText(EPERM, small, sizeof small), "Operation not permitted");
}

// A pipe drained slowly by a reader thread while another thread keeps interrupting the writer
// with a signal whose handler does not restart system calls: writes come back part-way or with
// EINTR, as they can on a loaded machine.
class InterruptedPipe {
public:
    InterruptedPipe() : writer_(::pthread_self()) {
        struct sigaction action {};
        action.sa_handler = [](int) { interruptions.fetch_add(1); };  // no SA_RESTART
        ::sigaction(SIGUSR2, &action, &saved_);
        EXPECT_EQ(::pipe2(ends_, O_CLOEXEC), 0);
        reader_ = std::thread([this] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(ends_[0], chunk, sizeof chunk)) > 0) {
                received.append(chunk, static_cast<size_t>(n));
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
        interrupter_ = std::thread([this] {
            while (!stopping_) {
                ::pthread_kill(writer_, SIGUSR2);
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
    }
    ~InterruptedPipe() {
        finish();
        ::sigaction(SIGUSR2, &saved_, nullptr);
    }
    int writeEnd() const { return ends_[1]; }
    // Stops the interruptions, closes the writing end and waits until the reader has everything.
    void finish() {
        stopping_ = true;
        if (interrupter_.joinable()) interrupter_.join();
        if (ends_[1] >= 0) ::close(ends_[1]);
        ends_[1] = -1;
        if (reader_.joinable()) reader_.join();
        if (ends_[0] >= 0) ::close(ends_[0]);
        ends_[0] = -1;
    }

    std::string received;
    static inline std::atomic<int> interruptions{0};

private:
    pthread_t writer_;
    struct sigaction saved_ {};
    int ends_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread reader_;
    std::thread interrupter_;
};

std::string pattern(size_t size, char first) {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(first + i % 23);
    return text;
}

TEST(WholeWrites, EveryByteInOrderThroughInterruptedAndPartialWrites) {
    const std::string big = pattern(1'000'000, 'a');
    InterruptedPipe whole;
    EXPECT_TRUE(writeWhole(whole.writeEnd(), big.data(), big.size()));
    whole.finish();
    EXPECT_EQ(whole.received.size(), big.size());
    EXPECT_TRUE(whole.received == big);

    std::vector<std::string> texts = {"",  "x", pattern(300'000, 'A'), "yz", "",
                                      "q", "",  pattern(400'001, '0')};
    std::vector<iovec> pieces;
    std::string expected;
    for (auto& text : texts) {
        pieces.push_back({text.data(), text.size()});
        expected += text;
    }
    InterruptedPipe inPieces;
    EXPECT_EQ(writeWholePieces(inPieces.writeEnd(), pieces.data(), int(pieces.size())),
              expected.size());
    inPieces.finish();
    EXPECT_EQ(inPieces.received.size(), expected.size());
    EXPECT_TRUE(inPieces.received == expected);
    EXPECT_GT(InterruptedPipe::interruptions.load(), 0);
}

TEST(WholeWrites, AFailedWriteSaysSo) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    errno = 0;
    EXPECT_FALSE(writeWhole(full, "abc", 3));
    EXPECT_EQ(errno, ENOSPC);
    char text[] = "abc";
    iovec piece{text, 3};
    EXPECT_EQ(writeWholePieces(full, &piece, 1), 0u);
    ::close(full);
}

}  // namespace
}  // namespace zrq
