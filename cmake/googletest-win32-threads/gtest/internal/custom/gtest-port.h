// GoogleTest customisation for MinGW-w64 compilers with the "win32" thread model, whose
// standard library (before GCC 13) has no std::mutex or std::condition_variable. GoogleTest
// needs them only for its Notification class; this one waits on an atomic flag instead.
// The rest of GoogleTest's Windows port uses the Win32 API directly and is unaffected.
#ifndef MORVANE_GTEST_CUSTOM_GTEST_PORT_H
#define MORVANE_GTEST_CUSTOM_GTEST_PORT_H

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

namespace testing {
namespace internal {

// Lets a controller thread hold newly created threads until it notifies them.
class Notification {
  public:
    Notification() : notified_(false) {}
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load())
            Sleep(1);
    }

  private:
    std::atomic<bool> notified_;
};

} // namespace internal
} // namespace testing

#endif
