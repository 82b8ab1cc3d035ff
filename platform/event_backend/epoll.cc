// The epoll backend. epoll keeps one registration per descriptor, so the
// read and write interests share it: the entry is edge-triggered and carries
// EPOLLOUT only while a write registration is armed. When the write event
// fires, the interest is withdrawn at the next apply() (not at once, so that
// the re-check epoll makes on every modification finds the reads drained and
// does not repeat a read event). One epoll event can stand for a read and a
// write event; what does not fit the caller's array is kept for the next
// wait.
#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/event_backend.h"
#include "platform/fd.h"
#include "platform/system_error.h"

namespace quellsig::platform {

namespace {

constexpr std::uint8_t kRead = 1;
constexpr std::uint8_t kWrite = 2;

std::uint32_t maskOf(std::uint8_t interest) {
  std::uint32_t mask = EPOLLET;
  if (interest & kRead) mask |= EPOLLIN | EPOLLRDHUP;
  if (interest & kWrite) mask |= EPOLLOUT;
  return mask;
}

// Failures that belong to the descriptor of one change, not to the system.
bool descriptorFault(int err) {
  return err == EBADF || err == ENOENT || err == EPERM || err == EINVAL || err == ELOOP;
}

}  // namespace

struct EventBackend::State {
  UniqueFd epoll;
  std::unordered_map<int, std::uint8_t> interest;
  std::vector<int> fired_writes;  // write interest to withdraw at the next apply
  std::deque<ReadyEvent> carried;  // taken from the system, not yet returned

  int control(int op, int fd, std::uint8_t bits) {
    epoll_event ev{};
    ev.events = maskOf(bits);
    ev.data.fd = fd;
    return ::epoll_ctl(epoll.get(), op, fd, &ev) == 0 ? 0 : errno;
  }

  // 0, or the errno of the failure.
  int add(const EventChange& c) {
    const std::uint8_t bit = c.kind == Readiness::Read ? kRead : kWrite;
    auto it = interest.find(c.fd);
    if (it != interest.end()) {
      int err = control(EPOLL_CTL_MOD, c.fd, it->second | bit);
      if (err == 0) {
        it->second |= bit;
        return 0;
      }
      interest.erase(it);
      // The descriptor was closed and its number given to a new one.
      if (err != ENOENT) return err;
    }
    int err = control(EPOLL_CTL_ADD, c.fd, bit);
    // Registered without our knowing, through a descriptor sharing its file.
    if (err == EEXIST) err = control(EPOLL_CTL_MOD, c.fd, bit);
    if (err != 0) return err;
    interest[c.fd] = bit;
    return 0;
  }

  void withdrawFiredWrites() {
    for (int fd : fired_writes) {
      auto it = interest.find(fd);
      if (it == interest.end()) continue;
      if (it->second == 0) {
        (void)::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        interest.erase(it);
      } else if (control(EPOLL_CTL_MOD, fd, it->second) != 0) {
        interest.erase(it);  // closed meanwhile
      }
    }
    fired_writes.clear();
  }

  void translate(const epoll_event& e) {
    const int fd = e.data.fd;
    auto it = interest.find(fd);
    if (it == interest.end()) return;
    const bool trouble = (e.events & (EPOLLERR | EPOLLHUP)) != 0;
    if ((it->second & kWrite) && ((e.events & EPOLLOUT) || trouble)) {
      it->second &= static_cast<std::uint8_t>(~kWrite);
      fired_writes.push_back(fd);
      carried.push_back({fd, Readiness::Write});
    }
    if ((it->second & kRead) && ((e.events & (EPOLLIN | EPOLLRDHUP)) || trouble)) {
      carried.push_back({fd, Readiness::Read});
    }
  }
};

EventBackend::EventBackend(std::unique_ptr<State> state) : state_(std::move(state)) {}
EventBackend::~EventBackend() = default;

Result<std::unique_ptr<EventBackend>> EventBackend::create() {
  UniqueFd fd(::epoll_create1(EPOLL_CLOEXEC));
  if (!fd) return fail(lastError());
  try {
    auto state = std::make_unique<State>();
    state->epoll = std::move(fd);
    return std::unique_ptr<EventBackend>(new EventBackend(std::move(state)));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

ApplyOutcome EventBackend::apply(std::span<const EventChange> changes) {
  ApplyOutcome out;
  try {
    state_->withdrawFiredWrites();
    for (const EventChange& c : changes) {
      int err = state_->add(c);
      if (err != 0 && !descriptorFault(err)) {
        out.error = errorFromErrno(err);
        return out;
      }
      ++out.consumed;
    }
  } catch (const std::bad_alloc&) {
    out.error = Error::OutOfMemory;
  }
  return out;
}

Result<std::size_t> EventBackend::wait(std::span<ReadyEvent> events,
                                       std::optional<std::uint32_t> timeout_ms) {
  State& s = *state_;
  if (events.empty()) return std::size_t{0};
  try {
    // Events already taken from the system go first; then only poll, since
    // the caller has something to do.
    int timeout = -1;
    if (!s.carried.empty()) {
      timeout = 0;
    } else if (timeout_ms) {
      timeout = static_cast<int>(std::min<std::uint32_t>(*timeout_ms, INT_MAX));
    }
    if (s.carried.size() < events.size()) {
      std::array<epoll_event, 64> raw;
      const int room = static_cast<int>(
          std::min<std::size_t>(raw.size(), events.size() - s.carried.size()));
      int n = ::epoll_wait(s.epoll.get(), raw.data(), room, timeout);
      if (n < 0 && errno != EINTR) return fail(lastError());
      for (int i = 0; i < n; ++i) s.translate(raw[static_cast<std::size_t>(i)]);
    }
    std::size_t count = std::min(events.size(), s.carried.size());
    std::copy_n(s.carried.begin(), count, events.begin());
    s.carried.erase(s.carried.begin(), s.carried.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace quellsig::platform
