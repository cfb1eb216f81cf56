// GoogleTest's Notification on a Win32 event: mingw-w64 built for Win32
// threads has no std::mutex, on which GoogleTest's own is built.
#ifndef ZAPEXT_TESTS_WIN32_GTEST_NOTIFICATION_H_
#define ZAPEXT_TESTS_WIN32_GTEST_NOTIFICATION_H_

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif  // ZAPEXT_TESTS_WIN32_GTEST_NOTIFICATION_H_
