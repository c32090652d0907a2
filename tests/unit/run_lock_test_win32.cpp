#include <windows.h>

#include <gtest/gtest.h>

#include "install/run_lock.h"

// Another kind of object under the mutex's name is no lock; a mutex whose empty access
// list grants this user nothing (as one of a launcher started as administrator) is busy.
TEST(RunLockWindows, AnotherObjectUnderTheNameIsNoLockAndAForbiddenMutexIsBusy) {
  ACL acl;
  SECURITY_DESCRIPTOR forbidding;
  ASSERT_TRUE(InitializeAcl(&acl, sizeof(acl), ACL_REVISION) &&
              InitializeSecurityDescriptor(&forbidding, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&forbidding, TRUE, &acl, FALSE));
  SECURITY_ATTRIBUTES forbidden{sizeof(forbidden), &forbidding, FALSE};
  for (bool const event : {true, false}) {
    wchar_t const* const name = L"Local\\QuenzaInstaller.QUENZA_BO_PROD";
    HANDLE const held = event ? CreateEventW(nullptr, TRUE, FALSE, name) : CreateMutexW(&forbidden, TRUE, name);
    ASSERT_NE(held, nullptr) << GetLastError();
    RunLock lock;
    EXPECT_EQ(lock.acquire("", "QUENZA_BO", "PROD"), event ? RunLock::Outcome::Unavailable : RunLock::Outcome::Busy);
    EXPECT_EQ(lock.name(), "Local\\QuenzaInstaller.QUENZA_BO_PROD");
    EXPECT_EQ(lock.error(), event ? ERROR_INVALID_HANDLE : 0);
    CloseHandle(held);
    EXPECT_EQ(lock.acquire("", "QUENZA_BO", "PROD"), RunLock::Outcome::Held);
  }
}
