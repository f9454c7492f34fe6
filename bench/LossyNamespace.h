#pragma once
// A private network namespace whose loopback drops a random share of the packets on request, so
// that TCP and KCP see the same lossy link. Needs root and nft; loopback only.
#include <sched.h>

#include <cstdlib>
#include <string>

namespace bench {

inline bool Shell(const std::string& cmd) {
  return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool EnterLossyNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  // A 1500-byte MTU, as on a real path, so that TCP segments and KCP datagrams risk loss alike.
  return Shell("ip link set lo up mtu 1500") && Shell("nft add table inet zepbench") &&
         Shell("nft add chain inet zepbench in '{ type filter hook input priority 0; }'");
}

// Drops `percent` % of the packets arriving on loopback (both directions of every connection).
inline bool SetLoss(int percent) {
  if (!Shell("nft flush chain inet zepbench in")) return false;
  if (percent == 0) return true;
  return Shell("nft add rule inet zepbench in iif lo numgen random mod 100 '<' " + std::to_string(percent) +
               " drop");
}

}  // namespace bench
