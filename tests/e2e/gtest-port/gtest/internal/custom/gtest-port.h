// Found ahead of GoogleTest's own (empty) customisation header. GoogleTest's
// Notification is built on std::mutex, which MinGW's win32 thread model does
// not have; this one waits on a Win32 event instead.
#ifndef VELMORA_E2E_GTEST_CUSTOM_PORT_H
#define VELMORA_E2E_GTEST_CUSTOM_PORT_H

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventA(NULL, TRUE, FALSE, NULL)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif
