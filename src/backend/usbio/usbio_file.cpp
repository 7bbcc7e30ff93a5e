// One handle of the USBIO driver: device-control calls and overlapped bulk transfers.
//
// The library's Overlapped record is not a Win32 OVERLAPPED (its fields are atomics and its event
// is a platform::Event), so every transfer carries a real OVERLAPPED of its own. The handle is
// bound to the system thread pool's completion port: when the kernel completes a transfer, a
// pool thread copies the status and byte count into the library's record and then sets the
// record's event, exactly as the virtual instrument completes its transfers.
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "backend/usbio/usbio_backend.h"
#include "platform/thread.h"

#include "win32_headers.h"

namespace vexdaq {
namespace {

bool fail(uint32_t status) {
  platform::set_last_error(status);
  return false;
}

struct FileState;

// One transfer in flight, from ReadFile/WriteFile to its completion callback. Finished records
// are kept for the next transfer, so a running stream allocates nothing.
struct Transfer {
  OVERLAPPED overlapped{};
  Overlapped *record = nullptr;
  std::shared_ptr<FileState> file;  // while pending: keeps the handle and the lists alive
  uint64_t sequence = 0;
  Transfer *older = nullptr;
  Transfer *newer = nullptr;  // also the link of the list of finished records
};

// The handle and its pending transfers. Each pending transfer holds a reference, so a completion
// that arrives while the file is being destroyed still finds its list.
struct FileState {
  explicit FileState(HANDLE h) : handle(h) {
    InitializeSRWLock(&lock);
    InitializeConditionVariable(&completed);
  }
  ~FileState() {
    while (spare != nullptr) delete std::exchange(spare, spare->newer);
    CloseHandle(handle);
  }
  FileState(const FileState &) = delete;
  FileState &operator=(const FileState &) = delete;

  // Requires lock. Null when memory runs out.
  Transfer *take() {
    if (spare == nullptr) return new (std::nothrow) Transfer;
    Transfer *t = std::exchange(spare, spare->newer);
    t->newer = nullptr;
    return t;
  }
  // Requires lock; the transfer is not pending.
  void give_back(Transfer *t) {
    t->overlapped = OVERLAPPED{};
    t->record = nullptr;
    t->older = nullptr;
    t->newer = std::exchange(spare, t);
  }
  // Requires lock.
  void add(Transfer *t) {
    t->sequence = ++last_sequence;
    t->older = newest;
    if (newest != nullptr) newest->newer = t;
    newest = t;
    if (oldest == nullptr) oldest = t;
  }
  // Requires lock.
  void remove(Transfer *t) {
    (t->older != nullptr ? t->older->newer : oldest) = t->newer;
    (t->newer != nullptr ? t->newer->older : newest) = t->older;
  }

  const HANDLE handle;
  SRWLOCK lock;
  CONDITION_VARIABLE completed;  // signalled whenever a pending transfer leaves the list
  uint64_t last_sequence = 0;    // guarded by lock
  Transfer *oldest = nullptr;    // pending transfers in start order; guarded by lock
  Transfer *newest = nullptr;    // guarded by lock
  Transfer *spare = nullptr;     // finished records; guarded by lock
};

// Runs on a thread-pool thread once per started transfer.
VOID CALLBACK transfer_completed(DWORD /*error*/, DWORD bytes, LPOVERLAPPED overlapped) {
  Transfer *t = CONTAINING_RECORD(overlapped, Transfer, overlapped);
  // The I/O status block keeps the driver's own status (STATUS_CANCELLED, the driver's 0xE...
  // codes), which is what the library compares against; the callback's error is its Win32
  // translation.
  t->record->internal.store(static_cast<uint32_t>(t->overlapped.Internal));
  t->record->internal_high.store(bytes);
  if (t->record->event) t->record->event->set();
  // From here on the record may be gone (a UART call frees it as soon as its event is set).
  // The last reference may be this one: the state goes only after its lock is released.
  std::shared_ptr<FileState> file = std::move(t->file);
  AcquireSRWLockExclusive(&file->lock);
  file->remove(t);
  file->give_back(t);
  WakeAllConditionVariable(&file->completed);
  ReleaseSRWLockExclusive(&file->lock);
}

class UsbioFile final : public OpenFile {
 public:
  UsbioFile(std::shared_ptr<FileState> state, bool overlapped)
      : state_(std::move(state)), overlapped_(overlapped) {}
  // No call can be running on the file any more (the driver facade drops its last reference
  // only after the last call returned); transfers still in the kernel are cancelled and
  // completed before the handle closes.
  ~UsbioFile() override { cancel(); }

  bool ioctl(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size,
             uint32_t *returned) override;
  bool start_read(Overlapped &record, void *buffer, uint32_t size) override {
    return start(record, buffer, size, true);
  }
  bool start_write(Overlapped &record, const void *buffer, uint32_t size) override {
    return start(record, const_cast<void *>(buffer), size, false);
  }
  void cancel() override;

 private:
  bool start(Overlapped &record, void *buffer, uint32_t size, bool read);

  const std::shared_ptr<FileState> state_;
  const bool overlapped_;
};

bool UsbioFile::ioctl(uint32_t code, const void *in, uint32_t in_size, void *out, uint32_t out_size,
                      uint32_t *returned) {
  if (returned != nullptr) *returned = 0;
  if ((in == nullptr && in_size != 0) || (out == nullptr && out_size != 0)) {
    return fail(kStatusInvalidParameter);
  }
  DWORD got = 0;
  BOOL ok = FALSE;
  if (!overlapped_) {
    ok = DeviceIoControl(state_->handle, code, const_cast<void *>(in), in_size, out, out_size, &got,
                         nullptr);
  } else {
    // A handle opened for overlapped I/O needs an OVERLAPPED on every call, also on one that we
    // wait for. Setting the event's low bit keeps this completion off the thread pool, whose
    // callback knows only transfers.
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) return fail(GetLastError());
    OVERLAPPED call{};
    call.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(done) | 1);
    ok = DeviceIoControl(state_->handle, code, const_cast<void *>(in), in_size, out, out_size,
                         nullptr, &call);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
      WaitForSingleObject(done, INFINITE);
      ok = GetOverlappedResult(state_->handle, &call, &got, FALSE);
    }
    const DWORD status = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(done);
    SetLastError(status);
  }
  if (!ok) return fail(GetLastError());
  if (returned != nullptr) *returned = got > out_size ? out_size : got;
  return true;
}

bool UsbioFile::start(Overlapped &record, void *buffer, uint32_t size, bool read) {
  if (!overlapped_) return fail(kStatusInvalidParameter);
  if (buffer == nullptr && size != 0) return fail(kStatusInvalidParameter);
  // Listed before it starts and started under the lock, so that a cancel sees either a transfer
  // that CancelIoEx reaches or one started after the cancel.
  AcquireSRWLockExclusive(&state_->lock);
  Transfer *t = state_->take();
  if (t == nullptr) {
    ReleaseSRWLockExclusive(&state_->lock);
    return fail(kStatusNotEnoughMemory);
  }
  t->record = &record;
  t->file = state_;
  state_->add(t);
  const BOOL ok = read ? ReadFile(state_->handle, buffer, size, nullptr, &t->overlapped)
                       : WriteFile(state_->handle, buffer, size, nullptr, &t->overlapped);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  // ERROR_MORE_DATA is a completion with a warning: its packet is queued like any other.
  const bool started = ok || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA;
  std::shared_ptr<FileState> unused;
  if (!started) {
    state_->remove(t);
    unused = std::move(t->file);  // state_ holds another reference: never the last
    state_->give_back(t);
  }
  ReleaseSRWLockExclusive(&state_->lock);
  return started || fail(error);
}

void UsbioFile::cancel() {
  if (!overlapped_) return;  // a synchronous handle has no transfers
  AcquireSRWLockExclusive(&state_->lock);
  if (state_->oldest != nullptr) {
    // Transfers started after this cancel are not its business; waiting for them could last
    // forever while a transfer thread keeps the pipe busy.
    const uint64_t last = state_->last_sequence;
    CancelIoEx(state_->handle, nullptr);
    while (state_->oldest != nullptr && state_->oldest->sequence <= last) {
      SleepConditionVariableSRW(&state_->completed, &state_->lock, INFINITE, 0);
    }
  }
  ReleaseSRWLockExclusive(&state_->lock);
}

}  // namespace

std::unique_ptr<OpenFile> open_usbio_file(void *handle, bool overlapped) {
  if (overlapped && !BindIoCompletionCallback(handle, transfer_completed, 0)) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    platform::set_last_error(error);
    return nullptr;
  }
  auto *raw = new (std::nothrow) FileState(handle);
  if (raw == nullptr) {
    CloseHandle(handle);
    platform::set_last_error(kStatusNotEnoughMemory);
    return nullptr;
  }
  std::shared_ptr<FileState> state(raw);
  std::unique_ptr<OpenFile> file(new (std::nothrow) UsbioFile(std::move(state), overlapped));
  if (file == nullptr) platform::set_last_error(kStatusNotEnoughMemory);
  return file;
}

}  // namespace vexdaq
