#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace pallador {

// Looks a host name up and returns its first IPv4 address in dotted decimal,
// blocking the calling thread for as long as the resolver takes; raises
// EIdSocketError (11001 "Host not found." and the like) when it fails.
using TIdHostResolver = std::function<std::string(const std::string& Host)>;

// The platform's resolver (getaddrinfo here). It uses no socket stack object,
// so any thread may call it at any time.
std::string PlatformResolveIPv4(const std::string& Host);

// The resolver every host lookup calls: the platform's unless a test set one.
// SetHostResolver with an empty function restores the platform's.
// Thread: any; one process-wide lock guards the setting.
void SetHostResolver(TIdHostResolver Resolver);
TIdHostResolver CurrentHostResolver();

// One host name looked up on a worker thread, so that nobody waits for the
// resolver: the owner polls. The worker is detached and touches nothing but
// the result it shares with its lookups, so a query that the resolver never
// answers blocks no poll and does not hold up the end of the process. Lookups
// of one name that overlap share one query; at most kMaxQueries run at once.
// Thread: made, polled and destroyed by one owner at a time, on any thread.
class TIdHostLookup {
 public:
  enum class TState { Pending, Resolved, Failed };
  static constexpr int kMaxQueries = 16;

  // Pending until Start; Timeout counts from Start.
  TIdHostLookup(std::string Host, std::chrono::milliseconds Timeout);
  TIdHostLookup(const TIdHostLookup&) = delete;
  TIdHostLookup& operator=(const TIdHostLookup&) = delete;

  // Starts the query. The empty name, or a name beyond kMaxQueries running
  // queries, fails at once without a query.
  void Start();
  const std::string& Host() const { return Host_; }
  // Pending until the query has its answer, or until Timeout has passed since
  // the start: then Failed with 11001. Never waits.
  TState Poll();
  TState State() const { return State_; }                  // as of the last Poll
  const std::string& Address() const { return Address_; }  // once Resolved
  const std::string& ErrorText() const { return Error_; }  // once Failed

  struct TQuery;

 private:
  void Fail(std::string Error);

  std::string Host_;
  std::chrono::milliseconds Timeout_;
  std::chrono::steady_clock::time_point Deadline_;
  std::shared_ptr<TQuery> Query_;
  TState State_ = TState::Pending;
  std::string Address_;
  std::string Error_;
};

}  // namespace pallador
