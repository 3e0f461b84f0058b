#include "links.h"

#include <ctime>

namespace ipxstackd {

uint64_t MonotonicClock::now_ms() const
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

LoopbackLink::LoopbackLink(const std::optional<ipxcore::ImpairmentConfig> &impair)
{
    if (impair)
        impair_.emplace(*impair);
}

void LoopbackLink::send(std::vector<uint8_t> pkt, uint64_t now)
{
    if (!impair_) {
        queue_.emplace(now, std::move(pkt));
        return;
    }
    for (auto &d : impair_->apply(std::move(pkt), now))
        queue_.emplace(d.at_ms, std::move(d.packet));
}

void LoopbackLink::poll(uint64_t now, const std::function<void(std::vector<uint8_t>)> &deliver)
{
    // Only what is queued now: packets sent while delivering wait for the
    // next round, so one exchange cannot starve the loop.
    std::vector<std::vector<uint8_t>> due;
    while (!queue_.empty() && queue_.begin()->first <= now) {
        due.push_back(std::move(queue_.begin()->second));
        queue_.erase(queue_.begin());
    }
    for (auto &p : due)
        deliver(std::move(p));
}

uint64_t LoopbackLink::next_deadline() const
{
    return queue_.empty() ? UINT64_MAX : queue_.begin()->first;
}

} // namespace ipxstackd
