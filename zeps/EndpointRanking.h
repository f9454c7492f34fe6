#pragma once
// Measures the round trip to every station endpoint at once ('h' answered by 'h', three times
// on one connection each) and orders them, fastest first.
#include <cstdint>
#include <memory>
#include <vector>

#include "mord/services/ServiceRecords.h"
#include "platform/Event.h"
#include "sov/net/TransportConnector.h"

struct RankedEndpoint {
  static constexpr uint32_t kProbes = 3;

  EndpointEntry endpoint;
  std::unique_ptr<TransportConnector> connection;  // absent once released
  bool connected = false;
  bool errored = false;
  uint32_t probeCount = 0;
  int64_t probeSentUs = 0;
  int64_t samplesUs[kProbes] = {};
  int64_t averageUs = -1;

  bool Complete() const { return connected && !errored && probeCount == kProbes; }
};

struct RankingTimes {
  int firstMs = 3000;   // polling ends here when something completed
  int extendMs = 5000;  // else it goes on this much longer, once
};

// Probes every endpoint; endpoints whose connection cannot even be opened (an address that is
// not dotted IPv4, a refused loopback connect) are left out. Every entry is logged. Ends with
// InterruptException when `stop` is set.
std::vector<RankedEndpoint> ProbeEndpoints(const std::vector<EndpointEntry>& endpoints, platform::Event& stop,
                                           RankingTimes times = {});

// The complete entries, fastest first; only the best keeps its connection.
std::vector<RankedEndpoint> KeepBest(std::vector<RankedEndpoint> probed);
