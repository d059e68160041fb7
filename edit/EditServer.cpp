#include "edit/EditServer.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "edit/EditLayout.h"
#include "edit/EditorAssets.h"

namespace tamrel::host {
namespace {

using nlohmann::json;

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  // Messages may quote what the request sent, which need not be UTF-8.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
  SendJson(res, status, {{"error", message}});
}

json Body(const httplib::Request& req) {
  json body;
  try {
    body = json::parse(req.body);
  } catch (const json::exception& e) {
    throw EditError(400, std::string("the request is not valid JSON: ") + e.what());
  }
  if (!body.is_object()) throw EditError(400, "the request is not a JSON object");
  return body;
}

const json& Field(const json& body, const char* name) {
  const auto it = body.find(name);
  if (it == body.end()) throw EditError(400, std::string("the request has no \"") + name + "\"");
  return *it;
}

std::string StringField(const json& body, const char* name) {
  const json& v = Field(body, name);
  if (!v.is_string()) throw EditError(400, std::string("\"") + name + "\" must be a string");
  return v.get<std::string>();
}

int IntField(const json& body, const char* name, int fallback, int low, int high) {
  const auto it = body.find(name);
  if (it == body.end()) return fallback;
  if (!it->is_number_integer() || *it < low || *it > high) {
    throw EditError(400, std::string("\"") + name + "\" must be an integer from " +
                             std::to_string(low) + " to " + std::to_string(high));
  }
  return it->get<int>();
}

const json& Params(const json& body) {
  const json& p = Field(body, "params");
  if (!p.is_object()) throw EditError(400, "\"params\" must be an object of parameter values");
  return p;
}

PreviewSettings ViewOf(const json& body, int defaultSize) {
  PreviewSettings s;
  s.frame = IntField(body, "frame", 0, 0, kMaxEditFrame);
  s.size = IntField(body, "size", defaultSize, 1, kMaxEditBakeSize);
  const std::string geometry = body.contains("geometry") ? StringField(body, "geometry") : "plane";
  if (geometry != "plane" && geometry != "sphere" && geometry != "mesh") {
    throw EditError(400, "\"geometry\" is plane, sphere or mesh, not '" + geometry + "'");
  }
  s.geometry = geometry == "sphere" ? Geometry::SPHERE
               : geometry == "mesh" ? Geometry::MESH
                                    : Geometry::PLANE;
  if (body.contains("extent")) {
    const json& e = body["extent"];
    if (!e.is_number() || !(e.get<double>() > 0.0) || e.get<double>() > 1.0e6) {
      throw EditError(400, "\"extent\" must be a number of scene units above 0 and up to 1000000");
    }
    s.extent = e.get<float>();
  }
  return s;
}

// What a preview (or the 3D view's asset) asks for: the view, the page and its generation.
struct PreviewRequest {
  PreviewSettings view;
  std::string page;
  std::uint64_t generation = 0;
};

PreviewRequest PreviewOf(const json& body) {
  PreviewRequest r;
  r.view = ViewOf(body, 512);
  if (r.view.size > kMaxPreviewSize) {
    throw EditError(400, "the preview size must be from 1 to " + std::to_string(kMaxPreviewSize));
  }
  r.view.samples = IntField(body, "samples", kDefaultSamples, 1, kMaxPreviewSamples);
  // A count the page keeps exactly: JavaScript's numbers hold integers to 2^53.
  const json& g = Field(body, "generation");
  if (!g.is_number_unsigned() || g.get<std::uint64_t>() > (std::uint64_t{1} << 53)) {
    throw EditError(400, "\"generation\" must be a count up to 2^53");
  }
  r.generation = g.get<std::uint64_t>();
  r.page = body.contains("page") ? StringField(body, "page") : "";
  if (r.page.size() > 64) throw EditError(400, "\"page\" is at most 64 characters");
  return r;
}

// A progressive preview's response: its pictures as they are done, each a frame of a kind byte
// ('C': the coarse PNG, 'P': the draft PNG, 'F': the final PNG, 'E': an error's words in UTF-8)
// and a 4-byte big-endian length before its bytes. A stream without its final frame was
// superseded, cancelled, or failed with the 'E' frame that ends it. The frames are baked on a
// thread of their own while this one writes what they hand over, so that a reader slow to take
// one holds up neither the next nor the other pages' previews, which wait for the bake alone.
void StreamPreview(EditSession& session, const json& params, const PreviewRequest& r,
                   httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "application/vnd.tamrel.frames", [&session, params, r](std::size_t, httplib::DataSink& sink) {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::string> frames;  // each its kind byte, length and bytes: one chunk
        bool finished = false;
        std::atomic<bool> gone{false};  // the reader has gone: the preview stops at its next frame
        const auto hand = [&](char kind, const std::string& picture) {
          const auto n = static_cast<std::uint32_t>(picture.size());
          std::string bytes{kind, static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                            static_cast<char>(n >> 8), static_cast<char>(n)};
          bytes += picture;
          std::lock_guard lock(mutex);
          frames.push_back(std::move(bytes));
          ready.notify_one();
        };
        std::thread bake([&] {
          try {
            session.ProgressivePreview(params, r.view, r.page, r.generation,
                                       [&](const std::string& png, PreviewFrame kind) {
                                         if (gone) return false;
                                         hand(kind == PreviewFrame::COARSE  ? 'C'
                                              : kind == PreviewFrame::DRAFT ? 'P'
                                                                            : 'F',
                                              png);
                                         return true;
                                       });
          } catch (const std::exception& e) {
            hand('E', std::string(e.what()));
          }
          std::lock_guard lock(mutex);
          finished = true;
          ready.notify_one();
        });
        for (;;) {
          std::unique_lock lock(mutex);
          ready.wait(lock, [&] { return finished || !frames.empty(); });
          if (frames.empty()) break;
          const std::string frame = std::move(frames.front());
          frames.pop_front();
          lock.unlock();
          if (!gone && !sink.write(frame.data(), frame.size())) gone = true;
        }
        bake.join();
        sink.done();
        return true;
      });
}

std::string NewToken() {
  std::random_device rd;
  static const char* hex = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token.push_back(hex[rd() & 15u]);
  return token;
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

struct EditServer::Impl {
  httplib::Server server;
  json layout;
  // The server's stop takes effect only once it listens, so a Stop that comes before or while Run
  // starts is remembered (stopping) or waits for the listening to begin (started, finished).
  std::mutex mutex;
  bool stopping = false, started = false;
  std::atomic<bool> finished{false};
};

EditServer::EditServer(EditSession& session, const EditServerOptions& options)
    : impl_(std::make_unique<Impl>()), address_(options.address), token_(NewToken()) {
  if (!IsLoopbackAddress(options.address)) {
    throw EditError(400, "the editor listens on a loopback address only (127.0.0.1 or ::1), not '" +
                             options.address + "'");
  }
  if (options.port < 0 || options.port > 65535) {
    throw EditError(400, "the port must be from 0 to 65535");
  }
  impl_->layout = BuildEditLayout(EmbeddedDialogTemplates(), session.Schema(), session.Class());
  httplib::Server& svr = impl_->server;
  const int threads = options.threads;
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  svr.set_payload_max_length(options.maxBody);
  // A client that sends its request slowly, or not at all, holds a worker while it does: every
  // read waits at most the read timeout, an idle kept-alive connection as long, and there are
  // workers for many such clients at once, so that the page's own requests are still answered.
  svr.set_read_timeout(options.readTimeout);
  // A progressive preview writes its small coarse frame and waits on the next: without this, the
  // frame's last segment waits for the page's delayed acknowledgement, some 40 ms.
  svr.set_tcp_nodelay(true);
  svr.set_keep_alive_timeout(options.readTimeout.count());
  // The port is this editor's alone: without SO_REUSEPORT a second editor on a port in use
  // fails to bind instead of sharing its requests at random.
  svr.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  // Serves the request when it comes from the page: the Host is this server and, for the API,
  // the token is there.
  auto guard = [this](const httplib::Request& req, httplib::Response& res, bool api) {
    const std::string host = req.get_header_value("Host");
    const std::string port = ":" + std::to_string(port_);
    const bool hostOk = host == "127.0.0.1" + port || host == "localhost" + port ||
                        host == "[::1]" + port || host == address_ + port ||
                        host == "[" + address_ + "]" + port;
    if (!hostOk) {
      SendError(res, 403, "requests must name this server's loopback address as their Host");
      return false;
    }
    if (api && req.get_header_value(kTokenHeader) != token_) {
      SendError(res, 403, "the request lacks the editor's token; reload the page");
      return false;
    }
    return true;
  };
  // The API's handlers: EditError becomes its status and message, anything else a 500.
  auto api = [guard](auto handler) {
    return [guard, handler](const httplib::Request& req, httplib::Response& res) {
      if (!guard(req, res, true)) return;
      try {
        handler(req, res);
      } catch (const EditError& e) {
        SendError(res, e.status, e.what());
      } catch (const std::exception& e) {
        SendError(res, 500, e.what());
      }
    };
  };

  for (const EditorAsset& asset : EditorAssets()) {
    const std::string path = asset.path;
    const std::string type = asset.contentType;
    std::string body(reinterpret_cast<const char*>(asset.data), asset.size);
    if (path == "/") {
      const std::string marker = "{{TOKEN}}";
      if (const auto at = body.find(marker); at != std::string::npos)
        body.replace(at, marker.size(), token_);
    }
    svr.Get(path, [guard, body, type](const httplib::Request& req, httplib::Response& res) {
      if (!guard(req, res, false)) return;
      res.set_header("Cache-Control", "no-store");
      // The page holds the token to the API: no other page may frame it and steer its clicks.
      res.set_header("Content-Security-Policy", "frame-ancestors 'none'");
      res.set_header("X-Frame-Options", "DENY");
      res.set_content(body, type.c_str());
    });
  }

  svr.Get("/api/layout", api([this](const httplib::Request&, httplib::Response& res) {
            SendJson(res, 200, impl_->layout);
          }));
  svr.Get("/api/document", api([&session](const httplib::Request&, httplib::Response& res) {
            SendJson(res, 200, session.Document());
          }));
  svr.Post("/api/state", api([&session](const httplib::Request& req, httplib::Response& res) {
             const json body = Body(req);
             SendJson(res, 200,
                      session.State(Params(body), IntField(body, "frame", 0, 0, kMaxEditFrame)));
           }));
  svr.Post("/api/preview", api([&session](const httplib::Request& req, httplib::Response& res) {
             const json body = Body(req);
             const PreviewRequest r = PreviewOf(body);
             if (body.contains("progressive")) {
               const json& p = body["progressive"];
               if (!p.is_boolean()) throw EditError(400, "\"progressive\" must be true or false");
               if (p.get<bool>()) {
                 StreamPreview(session, Params(body), r, res);
                 return;
               }
             }
             std::string png;
             if (!session.Preview(Params(body), r.view, r.page, r.generation, png)) {
               SendJson(res, 409, {{"superseded", true}});
               return;
             }
             res.set_header("Cache-Control", "no-store");
             res.set_content(png, "image/png");
           }));
  // The 3D view's asset of the same values: a .glb with the baked maps in its material.
  svr.Post("/api/asset", api([&session](const httplib::Request& req, httplib::Response& res) {
             const json body = Body(req);
             const PreviewRequest r = PreviewOf(body);
             std::string glb;
             if (!session.Asset(Params(body), r.view, r.page, r.generation, glb)) {
               SendJson(res, 409, {{"superseded", true}});
               return;
             }
             res.set_header("Cache-Control", "no-store");
             res.set_content(glb, "model/gltf-binary");
           }));
  svr.Post("/api/open", api([&session](const httplib::Request& req, httplib::Response& res) {
             const json body = Body(req);
             const std::string path = StringField(body, "path");
             const std::string kind = body.contains("kind") ? StringField(body, "kind") : "";
             const bool preset =
                 kind == "preset" || (kind.empty() && path.size() >= 5 &&
                                      path.compare(path.size() - 5, 5, ".json") == 0);
             if (!kind.empty() && kind != "preset" && kind != "scene") {
               throw EditError(400, "\"kind\" is scene or preset, not '" + kind + "'");
             }
             SendJson(res, 200, preset ? session.OpenPreset(path) : session.OpenScene(path));
           }));
  svr.Post(
      "/api/save-scene", api([&session](const httplib::Request& req, httplib::Response& res) {
        const json body = Body(req);
        SendJson(res, 200, {{"path", session.SaveScene(Params(body), StringField(body, "path"))}});
      }));
  svr.Post(
      "/api/save-preset", api([&session](const httplib::Request& req, httplib::Response& res) {
        const json body = Body(req);
        SendJson(res, 200, {{"path", session.SavePreset(Params(body), StringField(body, "path"))}});
      }));
  svr.Post("/api/bake", api([&session](const httplib::Request& req, httplib::Response& res) {
             const json body = Body(req);
             const PreviewSettings view = ViewOf(body, 1024);
             // "output": one map's name; "maps": several, a texture set.
             std::vector<std::string> maps;
             const auto addMap = [&maps](const json& name) {
               MapKind kind;
               if (!name.is_string() ||
                   !ParseMapName(name.get<std::string>(), NormalConvention::OPENGL, kind)) {
                 throw EditError(400, std::string("a map to bake is one of ") + MapNames());
               }
               maps.push_back(name.get<std::string>());
             };
             if (body.contains("maps")) {
               const json& names = Field(body, "maps");
               if (!names.is_array() || names.empty() || names.size() > 8) {
                 throw EditError(400, "\"maps\" is a list of one to eight map names");
               }
               for (const json& name : names) addMap(name);
             } else if (body.contains("output")) {
               addMap(Field(body, "output"));
             } else {
               maps.push_back("color");
             }
             // "type": the pixel type, as --type names it; the format's own without it.
             PixelType type = PixelType::DEFAULT;
             if (body.contains("type") &&
                 !(body["type"].is_string() && ParsePixelType(body["type"].get<std::string>(), type))) {
               throw EditError(400, "\"type\" is uint8, uint16, half or float");
             }
             json paths = json::array();
             for (const std::string& p :
                  session.Bake(Params(body), view, maps, StringField(body, "path"), type)) {
               paths.push_back(p);
             }
             SendJson(res, 200, {{"path", paths[0]}, {"paths", paths}});
           }));
  svr.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                               std::exception_ptr) { SendError(res, 500, "internal error"); });

  port_ = options.port == 0 ? svr.bind_to_any_port(options.address)
                            : (svr.bind_to_port(options.address, options.port) ? options.port : -1);
  if (port_ <= 0) {
    throw ListenError("cannot listen on " + options.address + " port " +
                      std::to_string(options.port) + ": it is in use or refused");
  }
}

EditServer::~EditServer() {
  Stop();
}

std::string EditServer::Url() const {
  const bool v6 = address_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_) + "/";
}

void EditServer::Run() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stopping) return;
    impl_->started = true;
  }
  impl_->server.listen_after_bind();
  impl_->finished = true;
}

void EditServer::Stop() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    if (!impl_->started) return;
  }
  while (!impl_->finished && !impl_->server.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  impl_->server.stop();
}

}  // namespace tamrel::host
