#include "zeps/TlsParser.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kHandshakeRecord = 22;
constexpr uint8_t kClientHello = 1;
constexpr uint16_t kServerNameExtension = 0;
constexpr uint8_t kHostName = 0;

uint32_t Be(const uint8_t* p, std::size_t n) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Reads the handshake message body, which may continue over several records.
class RecordReader {
 public:
  explicit RecordReader(ByteSource& source) : source_(source) {}

  void Read(uint8_t* out, std::size_t length) {
    while (length > 0) {
      if (left_ == 0) NextRecord();
      const std::size_t n = length < left_ ? length : left_;
      source_.Read(out, n);
      out += n;
      length -= n;
      left_ -= n;
    }
  }

 private:
  void NextRecord() {
    uint8_t header[5];
    source_.Read(header, sizeof header);
    if (header[0] != kHandshakeRecord) throw TlsParseException("Unexpected plaintext", ZEP_SOURCE, __LINE__);
    left_ = Be(header + 3, 2);
    if (left_ == 0 || left_ > TlsParser::kMaxRecordLength)
      throw TlsParseException("Oversized ClientHello", ZEP_SOURCE, __LINE__);
  }

  ByteSource& source_;
  std::size_t left_ = 0;
};

// A cursor over the hello body; running past its end is a malformed hello.
class Cursor {
 public:
  Cursor(const uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  uint32_t Take(std::size_t bytes, const char* error) {
    Need(bytes, error);
    const uint32_t v = Be(p_, bytes);
    Skip(bytes, error);
    return v;
  }
  void Need(std::size_t bytes, const char* error) const {
    if (bytes > n_) throw TlsParseException(error, ZEP_SOURCE, __LINE__);
  }
  void Skip(std::size_t bytes, const char* error) {
    Need(bytes, error);
    p_ += bytes;
    n_ -= bytes;
  }
  const uint8_t* Data() const { return p_; }
  std::size_t Left() const { return n_; }

 private:
  const uint8_t* p_;
  std::size_t n_;
};

constexpr const char* kBadHello = "Unexpected message";
constexpr const char* kBadExtension = "Unexpected tls extension";
constexpr const char* kBadName = "Unexpected tls server name type";

void ReadServerNames(Cursor list, std::string& name) {
  uint32_t m = list.Take(2, kBadName);
  list.Need(m, kBadName);
  while (m > 0) {
    const uint8_t type = static_cast<uint8_t>(list.Take(1, kBadName));
    if (type != kHostName) return;  // the rest of the list is not looked at
    const uint32_t n = list.Take(2, kBadName);
    if (m < n + 3) throw TlsParseException(kBadName, ZEP_SOURCE, __LINE__);
    list.Need(n, kBadName);
    name.assign(reinterpret_cast<const char*>(list.Data()), n);
    list.Skip(n, kBadName);
    m -= n + 3;
  }
}

std::string ParseBody(Cursor hello) {
  hello.Skip(34, kBadHello);                        // client version and random
  hello.Skip(hello.Take(1, kBadHello), kBadHello);  // session id
  hello.Skip(hello.Take(2, kBadHello), kBadHello);  // cipher suites
  hello.Skip(hello.Take(1, kBadHello), kBadHello);  // compression methods
  std::string name;
  if (hello.Left() == 0) return name;  // a hello without extensions
  uint32_t total = hello.Take(2, kBadExtension);
  hello.Need(total, kBadExtension);
  while (total > 0) {
    const uint32_t type = hello.Take(2, kBadExtension);
    const uint32_t length = hello.Take(2, kBadExtension);
    if (total < length + 4) throw TlsParseException(kBadExtension, ZEP_SOURCE, __LINE__);
    hello.Need(length, kBadExtension);
    if (type == kServerNameExtension) ReadServerNames(Cursor(hello.Data(), length), name);
    hello.Skip(length, kBadExtension);
    total -= length + 4;
  }
  return name;
}

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  void Read(void* destination, std::size_t length) override {
    if (length > n_) throw ReceiveStructException(ENODATA, ZEP_SOURCE, __LINE__);
    std::memcpy(destination, p_, length);
    p_ += length;
    n_ -= length;
  }

 private:
  const uint8_t* p_;
  std::size_t n_;
};

}  // namespace

std::string TlsParser::ReadServerName(ByteSource& source) {
  RecordReader records(source);
  uint8_t header[4];
  records.Read(header, sizeof header);
  if (header[0] != kClientHello) throw TlsParseException("Unexpected message", ZEP_SOURCE, __LINE__);
  const std::size_t length = Be(header + 1, 3);
  if (length > kMaxHelloLength) throw TlsParseException("Oversized ClientHello", ZEP_SOURCE, __LINE__);
  std::vector<uint8_t> body(length);
  records.Read(body.data(), length);
  return ParseBody(Cursor(body.data(), body.size()));
}

std::string TlsParser::ParseServerName(const uint8_t* data, std::size_t size) {
  MemorySource source(data, size);
  return ReadServerName(source);
}
