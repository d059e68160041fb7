// The browser editor's HTTP server: the page (embedded at build time) and a small JSON API over
// an EditSession. It listens on a loopback address only. Every API request must carry the
// session's token in a header that only the page, served from the same origin, can know and send;
// so another web site open in the same browser can neither read the document nor make the server
// write files, and a Host header other than the server's own address is refused as well.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>

#include "edit/EditSession.h"

namespace tamrel::host {

// True for a numeric IPv4 or IPv6 loopback address (127.0.0.0/8, ::1) or "localhost".
bool IsLoopbackAddress(const std::string& address);

// The address and port cannot be listened on: in use by another editor or program, or refused.
class ListenError : public EditError {
 public:
  explicit ListenError(const std::string& message) : EditError(500, message) {}
};

struct EditServerOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Workers: requests run one at a time in the session, but slow or idle clients each hold one.
  int threads = 64;
  std::size_t maxBody = 1 << 20;
  // How long one read of a request may wait for the client.
  std::chrono::seconds readTimeout{2};
};

class EditServer {
 public:
  // Throws EditError when the address is not a loopback address or the port cannot be bound.
  EditServer(EditSession& session, const EditServerOptions& options);
  ~EditServer();
  EditServer(const EditServer&) = delete;
  EditServer& operator=(const EditServer&) = delete;

  int Port() const { return port_; }
  std::string Url() const;
  const std::string& Token() const { return token_; }
  // Serves until Stop; call from one thread. Returns at once when Stop came first.
  void Run();
  // Safe from any thread, before, during or after Run.
  void Stop();

  // The name of the header that carries the token.
  static constexpr const char* kTokenHeader = "X-Tamrel-Token";

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string address_, token_;
  int port_ = 0;
};

}  // namespace tamrel::host
