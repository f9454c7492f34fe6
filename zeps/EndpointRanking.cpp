#include "zeps/EndpointRanking.h"

#include <algorithm>
#include <chrono>

#include "platform/PollNow.h"
#include "platform/Wait.h"
#include "sov/base/Log.h"

namespace {

constexpr uint8_t kProbeByte = 'h';

int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void Send(RankedEndpoint& e) {
  e.connection->SendBuffer(&kProbeByte, 1);
  e.probeSentUs = NowUs();
}

// One answer byte; false when this endpoint is finished (done or failed).
bool TakeAnswer(RankedEndpoint& e, int64_t polledUs) {
  const uint8_t b = e.connection->ReceiveByte(0);
  if (b != kProbeByte || e.probeCount >= RankedEndpoint::kProbes) {
    if (b == kProbeByte) LOGE << "Too many h responses";
    LOGE << "Protocol failure on rtt test for " << e.endpoint.ip;
    e.errored = true;
    return false;
  }
  e.samplesUs[e.probeCount++] = polledUs - e.probeSentUs;
  if (e.probeCount < RankedEndpoint::kProbes) {
    Send(e);
    return true;
  }
  int64_t sum = 0;
  for (int64_t s : e.samplesUs) sum += s;
  e.averageUs = sum / RankedEndpoint::kProbes;
  return false;
}

void Probe(std::vector<RankedEndpoint>& entries, platform::Event& stop, RankingTimes times);

// A probe's peer owes us nothing, so its connection is not drained: ranking ten endpoints must
// not wait on each one's close.
void Release(RankedEndpoint& e) {
  if (!e.connection) return;
  e.connection->AbandonAllSockets();
  e.connection.reset();
}

}  // namespace

std::vector<RankedEndpoint> ProbeEndpoints(const std::vector<EndpointEntry>& endpoints, platform::Event& stop,
                                           RankingTimes times) {
  std::vector<RankedEndpoint> entries;
  for (const EndpointEntry& endpoint : endpoints) {
    // One wait holds every socket and the stop event.
    if (entries.size() + 1 >= platform::kMaxWaitObjects) {
      LOGW << "Endpoint " << endpoint.ip << " left out: too many endpoints";
      continue;
    }
    RankedEndpoint e;
    e.endpoint = endpoint;
    try {
      e.connection =
          std::make_unique<TransportConnector>(endpoint.ip.c_str(), static_cast<uint32_t>(endpoint.basePort),
                                               TransportConnector::NonBlocking{}, &stop);
    } catch (const TransportException& ex) {
      LOGE << "Endpoint " << endpoint.ip << " cannot be probed: " << ex.what();
      continue;
    }
    entries.push_back(std::move(e));
  }

  try {
    Probe(entries, stop, times);
  } catch (...) {
    for (RankedEndpoint& e : entries) Release(e);
    throw;
  }
  for (const RankedEndpoint& e : entries)
    LOGD << "Endpoint " << e.endpoint.ip << " connected: " << (e.connected ? 1 : 0)
         << ", errored: " << (e.errored ? 1 : 0) << ", 'h' count\\avg rtt(usecs): " << e.probeCount << "\\"
         << e.averageUs;
  return entries;
}

namespace {

void Probe(std::vector<RankedEndpoint>& entries, platform::Event& stop, RankingTimes times) {
  std::vector<RankedEndpoint*> polled;
  for (RankedEndpoint& e : entries) polled.push_back(&e);
  int64_t deadlineUs = NowUs() + int64_t{times.firstMs} * 1000;
  bool extended = false;
  while (!polled.empty()) {
    const int64_t remainingMs = (deadlineUs - NowUs()) / 1000;
    if (remainingMs < 1) break;
    std::vector<platform::PollFd> fds;
    // Writable only until connected: a connected socket stays writable and would spin the loop.
    for (RankedEndpoint* e : polled)
      fds.push_back(
          {e->connection->Socket(0), e->connected ? platform::kWaitReadable : platform::kWaitWritable});
    platform::Waitable* objects[] = {&stop};
    const int r = platform::WaitAnyFd(fds, objects, static_cast<int>(remainingMs));
    const int64_t polledUs = NowUs();
    if (r == static_cast<int>(fds.size())) throw InterruptException(ZEP_SOURCE, __LINE__);
    if (r == platform::kWaitTimeout) {
      const bool anyComplete =
          std::any_of(entries.begin(), entries.end(), [](auto& e) { return e.Complete(); });
      if (extended || anyComplete) break;
      LOGD << "3 seconds too small (no servers answered), let's try 8";
      deadlineUs += int64_t{times.extendMs} * 1000;
      extended = true;
      continue;
    }
    // WaitAnyFd names one ready socket; look at every socket that is ready now.
    const std::vector<platform::Readiness> ready = platform::PollNow(fds);
    std::vector<RankedEndpoint*> still;
    for (std::size_t i = 0; i < polled.size(); ++i) {
      RankedEndpoint& e = *polled[i];
      const platform::Readiness& ev = ready[i];
      bool keep = true;
      try {
        if (ev.failed) {
          e.errored = true;
          keep = false;
        } else if (ev.writable && !e.connected) {
          e.connected = true;
          Send(e);
        } else if (ev.readable) {
          keep = TakeAnswer(e, polledUs);
        }
      } catch (const TransportException& ex) {
        // One station failing must not spoil the ranking of the others.
        LOGE << "Protocol failure on rtt test for " << e.endpoint.ip << ": " << ex.what();
        e.errored = true;
        keep = false;
      }
      if (keep) still.push_back(&e);
    }
    polled.swap(still);
  }
}

}  // namespace

std::vector<RankedEndpoint> KeepBest(std::vector<RankedEndpoint> probed) {
  std::vector<RankedEndpoint> kept;
  for (RankedEndpoint& e : probed) {
    if (e.Complete())
      kept.push_back(std::move(e));
    else
      Release(e);
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.averageUs < b.averageUs; });
  for (std::size_t i = 1; i < kept.size(); ++i) Release(kept[i]);
  return kept;
}
