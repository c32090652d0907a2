// What may hold the run lock's name in the session besides a launcher's own mutex.
#include <windows.h>

#include <gtest/gtest.h>

#include "install/run_lock.h"

namespace {

constexpr wchar_t kLockName[] = L"Local\\QuenzaInstaller.QUENZA_BO_PROD";

// A mutex whose empty access list grants this user nothing, as a launcher started as
// administrator leaves to one that is not.
HANDLE forbiddenMutex() {
  ACL acl;
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(&acl, sizeof(acl), ACL_REVISION) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  return CreateMutexW(&attributes, TRUE, kLockName);
}

}  // namespace

TEST(RunLockWindows, AnotherObjectUnderTheNameIsNoLockAndAForbiddenMutexIsBusy) {
  struct Case {
    char const* what;
    HANDLE (*hold)();
    RunLock::Outcome outcome;
    int error;
  } const cases[] = {
      {"an event", [] { return CreateEventW(nullptr, TRUE, FALSE, kLockName); }, RunLock::Outcome::Unavailable,
       ERROR_INVALID_HANDLE},
      {"a semaphore", [] { return CreateSemaphoreW(nullptr, 0, 1, kLockName); }, RunLock::Outcome::Unavailable,
       ERROR_INVALID_HANDLE},
      {"a mutex this user may not use", forbiddenMutex, RunLock::Outcome::Busy, 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE const held = c.hold();
    ASSERT_NE(held, nullptr) << GetLastError();
    RunLock lock;
    EXPECT_EQ(lock.acquire("", "QUENZA_BO", "PROD"), c.outcome);
    EXPECT_EQ(lock.name(), "Local\\QuenzaInstaller.QUENZA_BO_PROD");
    EXPECT_EQ(lock.error(), c.error);
    if (c.error != 0) EXPECT_FALSE(lock.errorText().empty());
    CloseHandle(held);
    EXPECT_EQ(lock.acquire("", "QUENZA_BO", "PROD"), RunLock::Outcome::Held);
  }
}
