#include "net/IdHostLookup.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "net/IdStack.h"

namespace pallador {

namespace {

constexpr int kWsaHostNotFound = 11001;

std::mutex gResolverLock;
TIdHostResolver gResolver;  // empty: the platform's

}  // namespace

// What a worker hands over: written once, before Done is set.
struct TIdHostLookup::TQuery {
  std::string Host;
  std::string Address;
  std::string Error;
  std::atomic<bool> Done{false};
};

namespace {

// The queries still running, so that overlapping lookups of one name share
// one; guarded by gQueriesLock, which no one holds while a query runs.
std::mutex gQueriesLock;
std::vector<std::weak_ptr<TIdHostLookup::TQuery>> gQueries;

void RunQuery(const std::shared_ptr<TIdHostLookup::TQuery>& Query,
              const TIdHostResolver& Resolver) noexcept {
  try {
    Query->Address = Resolver(Query->Host);
    // Anything but an address would be looked up again where it is sent.
    if (!TIdStack::IsIPv4Text(Query->Address)) {
      Query->Error = TIdStack::SocketErrorText(kWsaHostNotFound);
    }
  } catch (const std::exception& error) {
    Query->Error = error.what();
  } catch (...) {
    Query->Error = TIdStack::SocketErrorText(kWsaHostNotFound);
  }
  Query->Done.store(true, std::memory_order_release);
}

// The running query for Host, or a new one on a worker of its own; none when
// too many run already or no thread can be started.
std::shared_ptr<TIdHostLookup::TQuery> QueryFor(const std::string& Host) {
  const std::scoped_lock lock(gQueriesLock);
  std::erase_if(gQueries, [](const std::weak_ptr<TIdHostLookup::TQuery>& Entry) {
    const auto query = Entry.lock();
    return !query || query->Done.load(std::memory_order_acquire);
  });
  for (const auto& entry : gQueries) {
    if (auto query = entry.lock(); query && query->Host == Host) return query;
  }
  if (static_cast<int>(gQueries.size()) >= TIdHostLookup::kMaxQueries) return nullptr;
  auto query = std::make_shared<TIdHostLookup::TQuery>();
  query->Host = Host;
  std::thread(RunQuery, query, CurrentHostResolver()).detach();
  gQueries.push_back(query);
  return query;
}

}  // namespace

void SetHostResolver(TIdHostResolver Resolver) {
  const std::scoped_lock lock(gResolverLock);
  gResolver = std::move(Resolver);
}

TIdHostResolver CurrentHostResolver() {
  const std::scoped_lock lock(gResolverLock);
  if (gResolver) return gResolver;
  return PlatformResolveIPv4;
}

TIdHostLookup::TIdHostLookup(std::string Host, std::chrono::milliseconds Timeout)
    : Host_(std::move(Host)), Timeout_(Timeout) {}

void TIdHostLookup::Start() {
  if (State_ != TState::Pending || Query_) return;
  Deadline_ = std::chrono::steady_clock::now() + Timeout_;
  if (Host_.empty()) {
    Fail(TIdStack::SocketErrorText(kWsaHostNotFound));
    return;
  }
  try {
    Query_ = QueryFor(Host_);
  } catch (const std::exception& error) {  // no thread could be started
    Fail(error.what());
    return;
  }
  if (!Query_) Fail(TIdStack::SocketErrorText(kWsaHostNotFound));
}

TIdHostLookup::TState TIdHostLookup::Poll() {
  if (State_ != TState::Pending || !Query_) return State_;
  if (Query_->Done.load(std::memory_order_acquire)) {
    if (Query_->Error.empty()) {
      Address_ = Query_->Address;
      State_ = TState::Resolved;
    } else {
      Fail(Query_->Error);
    }
    Query_.reset();
  } else if (std::chrono::steady_clock::now() >= Deadline_) {
    // The worker goes on until the resolver gives up; its answer is ignored.
    Fail(TIdStack::SocketErrorText(kWsaHostNotFound));
    Query_.reset();
  }
  return State_;
}

void TIdHostLookup::Fail(std::string Error) {
  Error_ = std::move(Error);
  State_ = TState::Failed;
}

}  // namespace pallador
