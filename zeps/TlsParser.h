#pragma once
// Reads the TLS ClientHello a browser sends first and returns the host name of its server
// name indication. No handshake is ever answered.
//
// Leniencies and limits: the record and handshake versions are not checked; a ClientHello
// may be spread over several handshake records (each of type 22, at most 16 KiB + 2 KiB);
// the ClientHello itself may be at most 64 KiB. Every length inside it must fit in the
// message, else the hello is refused. Nothing after the extensions is read. A later host name
// replaces an earlier one; other name types end the list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sov/base/BaseException.h"

// Where the bytes come from: Read fills exactly `length` bytes or throws TransportException.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual void Read(void* destination, std::size_t length) = 0;
};

// A short or failed receive: "ReceiveStruct() failed" with the system's error code.
class ReceiveStructException : public TransportException {
 public:
  ReceiveStructException(int32_t code, const char* source, int line) noexcept
      : TransportException(code, "ReceiveStruct() failed", source, line) {}
};

class TlsParser {
 public:
  static constexpr std::size_t kMaxRecordLength = 16384 + 2048;
  static constexpr std::size_t kMaxHelloLength = 65536;

  // The SNI host name, or "" when the hello carries none. Throws TlsParseException
  // ("Unexpected plaintext", "Unexpected message", "Unexpected tls extension",
  // "Unexpected tls server name type", "Oversized ClientHello") or TransportException.
  static std::string ReadServerName(ByteSource& source);

  // The same over bytes already in memory (a short buffer throws ReceiveStructException).
  static std::string ParseServerName(const uint8_t* data, std::size_t size);
};
