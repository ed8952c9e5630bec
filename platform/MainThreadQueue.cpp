#include "platform/MainThreadQueue.h"

#include <chrono>
#include <exception>
#include <limits>
#include <thread>

#include "platform/Completion.h"

namespace pallador {
namespace {

// Dynamic initialisation of this namespace-scope constant runs during static
// initialisation, on the thread that starts the process.
const std::thread::id MainThreadId = std::this_thread::get_id();

// Safety net for a Done condition whose change nobody announces with Notify.
constexpr std::chrono::milliseconds kRecheckInterval{50};

void CallHook(const std::shared_ptr<const std::function<void()>>& Hook) noexcept {
  try {
    (*Hook)();
  } catch (...) {
    // A failed wake-up leaves the call queued for the next ProcessQueue.
  }
}

}  // namespace

struct TMainThreadQueue::TItem {
  TItem(TCallFn F, void* C) : Fn(F), Context(C) {}

  TCallFn Fn;
  void* Context;
  TItem* Next = nullptr;
  std::uint64_t Seq = 0;
  std::exception_ptr Error;
  TCompletion Done;
};

void TMainThreadQueue::Synchronize(TCallFn Fn, void* Context) {
  if (IsMainThread()) {
    Fn(Context);
    return;
  }
  TItem item(Fn, Context);
  THook hook;
  bool wakeWaiter = false;
  {
    std::lock_guard guard(Lock_);
    item.Seq = NextSeq_++;
    if (Tail_ != nullptr)
      Tail_->Next = &item;
    else
      Head_ = &item;
    Tail_ = &item;
    // Decided under the lock: either the main thread is inside WaitFor and
    // sees the item there, or a wake-up is (or already was) sent for it.
    if (WaitDepth_ > 0) {
      wakeWaiter = true;
    } else if (!WakePending_ && WakeHook_) {
      WakePending_ = true;
      hook = WakeHook_;
    }
  }
  if (wakeWaiter) MainWake_.notify_one();
  if (hook) CallHook(hook);
  item.Done.Wait();
  if (item.Error) std::rethrow_exception(item.Error);
}

TMainThreadQueue::TItem* TMainThreadQueue::PopBefore(std::uint64_t Limit) {
  std::lock_guard guard(Lock_);
  TItem* item = Head_;
  if (item == nullptr || item->Seq >= Limit) return nullptr;
  Head_ = item->Next;
  if (Head_ == nullptr) Tail_ = nullptr;
  return item;
}

void TMainThreadQueue::Run(TItem& Item) {
  try {
    Item.Fn(Item.Context);
  } catch (...) {
    Item.Error = std::current_exception();
  }
  // The worker frees the item as soon as it sees the signal.
  Item.Done.Signal();
}

std::size_t TMainThreadQueue::ProcessQueue() {
  std::uint64_t limit = 0;
  {
    std::lock_guard guard(Lock_);
    WakePending_ = false;
    limit = NextSeq_;
  }
  // One item at a time under the lock, so a WaitFor nested in a call (a join
  // inside a handler) still finds every queued call.
  std::size_t ran = 0;
  while (TItem* item = PopBefore(limit)) {
    Run(*item);
    ++ran;
  }
  return ran;
}

void TMainThreadQueue::WaitFor(const std::function<bool()>& Done) {
  if (Done()) return;
  struct TDepth {
    TMainThreadQueue& Queue;
    TDepth(const TDepth&) = delete;
    TDepth& operator=(const TDepth&) = delete;
    TDepth(TDepth&&) = delete;
    TDepth& operator=(TDepth&&) = delete;
    explicit TDepth(TMainThreadQueue& Q) : Queue(Q) {
      std::lock_guard guard(Queue.Lock_);
      ++Queue.WaitDepth_;
    }
    ~TDepth() {
      THook hook;
      {
        std::lock_guard guard(Queue.Lock_);
        --Queue.WaitDepth_;
        // Calls queued while we waited got no wake-up; leave none stranded.
        if (Queue.WaitDepth_ == 0 && Queue.Head_ != nullptr && !Queue.WakePending_ &&
            Queue.WakeHook_) {
          Queue.WakePending_ = true;
          hook = Queue.WakeHook_;
        }
      }
      if (hook) CallHook(hook);
    }
  } depth(*this);

  constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
  for (;;) {
    std::uint64_t seen = 0;
    {
      std::lock_guard guard(Lock_);
      seen = Notifications_;  // taken before Done() is read, so no Notify is missed
    }
    while (TItem* item = PopBefore(kAll)) {
      Run(*item);
      if (Done()) return;
    }
    if (Done()) return;
    std::unique_lock lock(Lock_);
    MainWake_.wait_for(lock, kRecheckInterval,
                       [&] { return Head_ != nullptr || Notifications_ != seen; });
  }
}

void TMainThreadQueue::Notify() {
  {
    std::lock_guard guard(Lock_);
    ++Notifications_;
  }
  MainWake_.notify_one();
}

void TMainThreadQueue::SetWakeHook(std::function<void()> Hook) {
  THook hook;
  if (Hook) hook = std::make_shared<const std::function<void()>>(std::move(Hook));
  THook wake;
  {
    std::lock_guard guard(Lock_);
    WakeHook_ = hook;
    if (WakeHook_ && Head_ != nullptr && !WakePending_ && WaitDepth_ == 0) {
      WakePending_ = true;
      wake = WakeHook_;
    }
  }
  if (wake) CallHook(wake);
}

std::size_t TMainThreadQueue::QueuedCount() {
  std::lock_guard guard(Lock_);
  std::size_t count = 0;
  for (const TItem* item = Head_; item != nullptr; item = item->Next) ++count;
  return count;
}

bool TMainThreadQueue::IsMainThread() {
  return std::this_thread::get_id() == MainThreadId;
}

TMainThreadQueue& MainThread() {
  // Never destroyed: a worker still blocked at process exit must not meet a
  // destroyed lock.
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory,cppcoreguidelines-avoid-non-const-global-variables)
  static auto* const queue = new TMainThreadQueue;
  return *queue;
}

}  // namespace pallador
