#include "backend/libusb/libusb_context.h"

namespace vexdaq {
namespace {

// 1 s: the longest the event thread sleeps in libusb before it looks at its stop flag again,
// should an interruption ever be lost. Completions wake it at once.
constexpr int kEventWaitSeconds = 1;

thread_local bool t_is_event_thread = false;

// Never destroyed (as a std::mutex in effect was): a thread or exit handler still running while
// the static destructors run may take it.
platform::Mutex &g_context_mutex = *new platform::Mutex;
std::weak_ptr<LibusbContext> g_context GUARDED_BY(g_context_mutex);

}  // namespace

std::shared_ptr<LibusbContext> LibusbContext::acquire() {
  platform::MutexLock lock(g_context_mutex);
  std::shared_ptr<LibusbContext> context = g_context.lock();
  if (context) return context;
  libusb_context *raw = nullptr;
  if (libusb_init(&raw) != LIBUSB_SUCCESS) return nullptr;
  context.reset(new LibusbContext(raw));
  g_context = context;
  return context;
}

LibusbContext::~LibusbContext() {
  // Every device was closed (each holds the context), so the event thread has stopped.
  libusb_exit(context_);
}

bool LibusbContext::device_opened() {
  platform::MutexLock lock(mutex_);
  if (open_devices_ == 0) {
    stop_events_.store(false);
    event_thread_ =
        platform::Thread::create(event_thread_main, this, platform::Thread::Priority::kHighest);
    if (event_thread_ == nullptr) return false;
  }
  ++open_devices_;
  return true;
}

void LibusbContext::device_closed() {
  platform::MutexLock lock(mutex_);
  if (open_devices_ == 0 || --open_devices_ > 0) return;
  stop_events_.store(true);
  // Wakes the thread out of its wait; if it is between two waits, the next one returns at once.
  libusb_interrupt_event_handler(context_);
  event_thread_->join();
  event_thread_.reset();
}

bool LibusbContext::on_event_thread() const {
  return t_is_event_thread;
}

uint32_t LibusbContext::event_thread_main(void *argument) {
  auto *self = static_cast<LibusbContext *>(argument);
  t_is_event_thread = true;
  while (!self->stop_events_.load()) {
    timeval wait{kEventWaitSeconds, 0};
    libusb_handle_events_timeout_completed(self->context_, &wait, nullptr);
  }
  return 0;
}

}  // namespace vexdaq
