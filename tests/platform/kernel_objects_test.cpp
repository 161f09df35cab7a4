// Named file mappings, events and mutexes across processes (fork): shared
// contents, ERROR_ALREADY_EXISTS, the user's own objects only (0600, the
// user id in the name), an object gone with its last holder, and a mutex
// whose owner was killed coming back as WAIT_ABANDONED.
#include <windows.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace {

// Names of this test process alone: other test runs share the user's namespace.
std::string unique(const std::string& base) { return base + " " + std::to_string(getpid()); }

std::string shmPath(char kind, const std::string& name) {
  std::string encoded;
  for (unsigned char c : name) {
    if (isalnum(c) || c == '.' || c == '_' || c == '-') {
      encoded += char(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += hex;
    }
  }
  return "/dev/shm/velmora-" + std::to_string(geteuid()) + "-" + kind + "-" + encoded;
}

// Runs `body` in a child process; its exit status.
template <class F>
pid_t spawn(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int exitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(KernelObjects, MappingIsSharedPrivateAndGoesWithItsLastHolder) {
  const std::string name = unique("Strabel Module");
  const std::string ready = name + "_Ready";
  SetLastError(0xdeadbeef);
  HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10240, name.c_str());
  ASSERT_NE(map, nullptr) << GetLastError();
  EXPECT_EQ(GetLastError(), 0u);
  auto* view = static_cast<BYTE*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  for (int i = 0; i < 10240; ++i) ASSERT_EQ(view[i], 0) << i;  // a new area is zero
  memcpy(view, "from parent", 12);

  // The user's alone: mode 0600, the user id in its name.
  struct stat st{};
  ASSERT_EQ(stat(shmPath('m', name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_size, 10240);

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
  ASSERT_NE(event, nullptr);
  pid_t child = spawn([&] {
    SetLastError(0);
    // A larger size asks for nothing: the existing object keeps its own.
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 20000, name.c_str());
    if (!m || GetLastError() != ERROR_ALREADY_EXISTS) return 1;
    auto* v = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    if (!v || strcmp(v, "from parent") != 0) return 2;
    if (MapViewOfFile(m, FILE_MAP_READ, 0, 0, 10241)) return 3;  // beyond its size
    strcpy(v + 100, "from child");
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
    if (!e || GetLastError() != ERROR_ALREADY_EXISTS || !SetEvent(e)) return 4;
    UnmapViewOfFile(v);
    CloseHandle(m);
    CloseHandle(e);
    return 0;
  });
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(exitStatus(child), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(view) + 100, "from child");

  // An opener sees it while a holder lives; the handle may go before the view.
  HANDLE opened = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_TRUE(CloseHandle(map));
  EXPECT_STREQ(reinterpret_cast<char*>(view), "from parent");
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_NE(stat(shmPath('m', name).c_str(), &st), 0) << "the last holder removes it";
  SetLastError(0xdeadbeef);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  CloseHandle(event);
}

TEST(KernelObjects, AnObjectLeftByACrashIsNotFoundAgain) {
  const std::string name = unique("Crashed");
  pid_t child = spawn([&] {
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
    auto* v = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    strcpy(v, "stale");
    raise(SIGKILL);  // no clean-up at all
    return 0;
  });
  EXPECT_EQ(exitStatus(child), 128 + SIGKILL);
  struct stat st{};
  EXPECT_EQ(stat(shmPath('m', name).c_str(), &st), 0) << "left behind by the crash";
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
  SetLastError(0xdeadbeef);
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GetLastError(), 0u) << "a new object, not the dead one";
  auto* v = static_cast<char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0], 0);
  UnmapViewOfFile(v);
  CloseHandle(m);
}

TEST(KernelObjects, ObjectsOpenToOthersAreRefused) {
  const std::string name = unique("Squatted");
  const std::string path = shmPath('m', name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  fchmod(fd, 0644);
  flock(fd, LOCK_SH);  // looks alive
  SetLastError(0);
  EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  if (geteuid() == 0) {
    // Another user's object, even with a private mode.
    fchmod(fd, 0600);
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  }
  struct stat st{};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << "never removed by us";
  close(fd);
  unlink(path.c_str());
}

TEST(KernelObjects, BadArgumentsGetWindowsErrors) {
  struct Case {
    const char* label;
    HANDLE file;
    DWORD protect, size;
    DWORD error;
  } cases[] = {
      {"a file handle", reinterpret_cast<HANDLE>(0x44), PAGE_READWRITE, 4096, ERROR_INVALID_HANDLE},
      {"size 0", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, ERROR_INVALID_PARAMETER},
      {"executable pages", INVALID_HANDLE_VALUE, 0x40, 4096, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingA(c.file, nullptr, c.protect, 0, c.size, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  HANDLE ro = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 70000, nullptr);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_READ, 0, 100, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MAPPED_ALIGNMENT));
  void* tail = MapViewOfFile(ro, FILE_MAP_READ, 0, 65536, 0);
  EXPECT_NE(tail, nullptr);
  EXPECT_TRUE(UnmapViewOfFile(tail));
  EXPECT_FALSE(UnmapViewOfFile(tail));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
  EXPECT_EQ(WaitForSingleObject(ro, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(ro));
  EXPECT_TRUE(CloseHandle(ro));
  EXPECT_FALSE(CloseHandle(ro));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

  // One namespace: an event cannot take a live mapping's name.
  const std::string name = unique("Taken");
  HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, unique("Nobody").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  CloseHandle(m);
}

TEST(KernelObjects, EventsSignalAcrossProcesses) {
  const std::string manualName = unique("Manual_Event"), autoName = unique("Auto_Event");
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, manualName.c_str());
  HANDLE autoReset = CreateEventA(nullptr, FALSE, FALSE, autoName.c_str());
  ASSERT_TRUE(manual && autoReset);
  EXPECT_EQ(WaitForSingleObject(manual, 20), DWORD(WAIT_TIMEOUT));

  // Two waiters in other processes: a manual-reset event frees both.
  auto waiter = [&] {
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, manualName.c_str());
    return e && WaitForSingleObject(e, 10000) == WAIT_OBJECT_0 ? 0 : 1;
  };
  pid_t a = spawn(waiter), b = spawn(waiter);
  usleep(100000);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(exitStatus(a), 0);
  EXPECT_EQ(exitStatus(b), 0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "stays signalled";
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_TIMEOUT));

  // An auto-reset event frees one wait per signal.
  pid_t c = spawn([&] {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, autoName.c_str());
    if (!e || GetLastError() != ERROR_ALREADY_EXISTS) return 2;
    return SetEvent(e) ? 0 : 1;
  });
  EXPECT_EQ(exitStatus(c), 0);
  EXPECT_EQ(WaitForSingleObject(autoReset, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoReset, 20), DWORD(WAIT_TIMEOUT));
  CloseHandle(manual);
  CloseHandle(autoReset);
}

TEST(KernelObjects, MutexOfAKilledWriterComesBackAbandoned) {
  const std::string name = unique("Strabel Module_Lock"), held = name + " held";
  HANDLE heldEvent = CreateEventA(nullptr, TRUE, FALSE, held.c_str());
  ASSERT_NE(heldEvent, nullptr);
  pid_t writer = spawn([&] {
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!m || WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 1;
    HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, held.c_str());
    SetEvent(e);
    pause();  // killed here, mid-update
    return 0;
  });
  ASSERT_EQ(WaitForSingleObject(heldEvent, 10000), WAIT_OBJECT_0);
  SetLastError(0);
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  // bInitialOwner is ignored for an existing mutex; the writer holds it.
  EXPECT_EQ(WaitForSingleObject(mutex, 50), DWORD(WAIT_TIMEOUT));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));

  kill(writer, SIGKILL);
  EXPECT_EQ(exitStatus(writer), 128 + SIGKILL);
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), DWORD(WAIT_ABANDONED));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "taken again by its owner";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));

  // Released for good: another process takes it plainly.
  pid_t next = spawn([&] {
    HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (!m || WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 1;
    return ReleaseMutex(m) ? 0 : 2;
  });
  EXPECT_EQ(exitStatus(next), 0);
  CloseHandle(mutex);
  CloseHandle(heldEvent);
}

}  // namespace
