#include "engine/BakeJob.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <future>
#include <memory>
#include <new>

#include "engine/EchoText.h"
#include "engine/Host.h"
#include "engine/Interrupt.h"
#include "engine/LowerCase.h"
#include "engine/MeshSource.h"
#include "engine/OutputFiles.h"
#include "engine/ParamSchema.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The one pixel-type rule: a type asked by name, or by bits, where 16 bits are half in EXR.
PixelType RequestedType(const OutputRequest& r, const std::string& path) {
  if (r.bits == 8) return PixelType::UINT8;
  if (r.bits == 32) return PixelType::FLOAT;
  if (r.bits == 16) {
    return LowerAscii(fs::path(path).extension().string()) == ".exr" ? PixelType::HALF
                                                                : PixelType::UINT16;
  }
  return r.type;
}

float SrgbToLinear(float v) {
  if (!(v > 0.0f)) return 0.0f;
  if (v >= 1.0f) return 1.0f;
  return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

// Rows of the contact sheet: the maps side by side as they look, the colour without its alpha,
// one-channel maps as grey, the others' three channels. The sheet is an sRGB picture, so data
// values are decoded here to come out of its encoding as they are.
void SheetRows(const std::vector<Raster>& bands, std::vector<float>& rows) {
  const int width = bands.front().width, height = bands.front().height;
  const int sheetWidth = width * static_cast<int>(bands.size());
  rows.assign(static_cast<std::size_t>(sheetWidth) * height * 3, 0.0f);
  for (std::size_t m = 0; m < bands.size(); ++m) {
    const Raster& b = bands[m];
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const float* in = b.Pixel(x, y);
        float* out = &rows[(static_cast<std::size_t>(y) * sheetWidth + m * width + x) * 3];
        for (int c = 0; c < 3; ++c) {
          const float v = in[b.channels == 1 ? 0 : c];
          out[c] = b.channels == 4 ? v : SrgbToLinear(v);
        }
      }
    }
  }
}

// Rows y0 .. y1-1 of a baked image laid n times side by side: one band of its repeat.
void RepeatedRows(const Raster& r, int n, int y0, int y1, std::vector<float>& rows) {
  const std::size_t rowFloats = static_cast<std::size_t>(r.width) * r.channels;
  rows.resize(rowFloats * n * static_cast<std::size_t>(y1 - y0));
  float* out = rows.data();
  for (int y = y0; y < y1; ++y) {
    const float* row = r.Pixel(0, y);
    for (int k = 0; k < n; ++k, out += rowFloats) std::copy_n(row, rowFloats, out);
  }
}

// The names the descriptions record, as the command line takes them.
const char* GeometryName(Geometry geometry) {
  return geometry == Geometry::SPHERE ? "sphere" : geometry == Geometry::MESH ? "mesh" : "plane";
}

const char* ConventionName(NormalConvention convention) {
  return convention == NormalConvention::DIRECTX ? "directx" : "opengl";
}

}  // namespace

json MeshJson(const MeshBake& m) {
  const mesh::MeshModel& model = *m.model;
  json instances = json::array();
  for (const mesh::MeshInstance& i : model.instances) instances.push_back(i.name);
  // Where the tangents of the parts in use came from: "file", "generated", or both.
  bool anyFile = false, anyMade = false;
  for (const mesh::MeshInstance& i : model.instances) {
    (m.tangentsFromFile[i.part] ? anyFile : anyMade) = true;
  }
  return {{"file", model.source},
          {"triangles", model.TriangleCount()},
          {"dropped_triangles", model.droppedTriangles},
          {"instances", instances},
          {"uv_set", m.uvSet + 1},
          {"tangents", anyFile && anyMade ? "file and generated" : anyFile ? "file" : "generated"},
          {"padding", m.padding}};
}

json TileableJson(int period, const TileNudge& n) {
  return {{"period", period},
          {"nudge",
           {{"length", n.length},
            {"width", n.width},
            {"angle_deg", n.angleDeg},
            {"erosion", n.erosion}}}};
}

OutputPlan PlanOutputs(const OutputRequest& r, BakeSettings& settings) {
  OutputPlan plan;
  plan.repeat = r.repeat;
  plan.convention = r.convention;
  plan.sheet = r.sheet;
  if (r.output.empty()) Fail(EXIT_USAGE, "the image needs a file name");
  if (r.compression < 0 || r.compression > kMaxPngCompression) {
    Fail(EXIT_USAGE, "the PNG compression level must be from 0 to " +
                         std::to_string(kMaxPngCompression) + ", not " +
                         std::to_string(r.compression));
  }
  plan.sheetOptions.compression = r.compression;
  for (const std::string& name : r.maps) {
    MapOutput m;
    if (!ParseMapName(name, r.convention, m.kind)) {
      Fail(EXIT_USAGE, r.mapsOption + " takes " + MapNames() + ", not " + Quote(name));
    }
    for (const MapOutput& other : plan.maps) {
      if (other.name == name) Fail(EXIT_USAGE, "the map " + name + " is asked for twice");
    }
    m.name = name;
    plan.maps.push_back(m);
  }
  if (plan.maps.empty()) Fail(EXIT_USAGE, "no map to bake");
  if (plan.maps.size() > 1 && !HasMapPattern(r.output)) {
    Fail(EXIT_USAGE, "baking several maps needs a '{map}' pattern in " + r.outputLabel + " " +
                         r.output + " (for example steel_{map}.exr)");
  }
  for (const std::string& f : r.mapFormats) {
    const std::size_t eq = f.find('=');
    const std::string name = f.substr(0, eq);
    bool found = false;
    for (const MapOutput& m : plan.maps) found = found || m.name == name;
    if (eq == std::string::npos || eq + 1 == f.size() || !found) {
      Fail(EXIT_USAGE,
           "--map-format takes MAP=EXT for a map being baked (for example height=exr), not " +
               Quote(f));
    }
  }
  for (MapOutput& m : plan.maps) {
    std::string path = ExpandMapPattern(r.output, m.name);
    for (const std::string& f : r.mapFormats) {
      const std::size_t eq = f.find('=');
      if (f.substr(0, eq) != m.name) continue;
      std::string ext = f.substr(eq + 1);
      if (ext[0] != '.') ext = "." + ext;
      path = fs::path(path).replace_extension(ext).string();
    }
    m.pathTemplate = path;
    m.options.data = IsDataMap(m.kind);
    m.options.compression = r.compression;
    m.options.type = RequestedType(r, path);
    if (std::string why = ResolvePixelType(path, m.options, m.type); !why.empty()) {
      Fail(EXIT_OUTPUT, why);
    }
    // Eight bits cannot hold the fine steps of a height: banding would show in every bump.
    if (m.kind == MapKind::HEIGHT && m.type == PixelType::UINT8) {
      Fail(EXIT_USAGE, "the height map needs 16-bit or float pixels, not uint8");
    }
  }
  for (std::size_t i = 0; i < plan.maps.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (LowerAscii(plan.maps[i].pathTemplate) == LowerAscii(plan.maps[j].pathTemplate)) {
        Fail(EXIT_USAGE, "maps " + plan.maps[j].name + " and " + plan.maps[i].name +
                             " would both be written to " + plan.maps[i].pathTemplate);
      }
    }
  }

  settings.maps.clear();
  for (const MapOutput& m : plan.maps) settings.maps.push_back(m.kind);
  if (std::string why = CheckBakeSettings(settings); !why.empty()) Fail(EXIT_USAGE, why);
  for (const MapOutput& m : plan.maps) {
    CheckWritableFolder(ExpandFramePattern(m.pathTemplate, r.firstFrame), "image");
    if (r.lastFrame != r.firstFrame) {
      CheckWritableFolder(ExpandFramePattern(m.pathTemplate, r.lastFrame), "image");
    }
  }
  if (!r.sheet.empty()) {
    if (r.lastFrame > r.firstFrame) {
      Fail(EXIT_USAGE, "--sheet makes one picture; bake one frame with it");
    }
    PixelType t;
    if (std::string why = ResolvePixelType(r.sheet, plan.sheetOptions, t); !why.empty()) {
      Fail(EXIT_OUTPUT, why);
    }
    if (static_cast<std::int64_t>(BakeRegion(settings).Width()) * plan.maps.size() >
        kMaxImageEdge) {
      Fail(EXIT_USAGE, "--sheet would be wider than " + std::to_string(kMaxImageEdge) +
                           " pixels; bake a smaller size for it");
    }
    CheckWritableFolder(r.sheet, "image");
  }
  // Every file of the run by what it is; the maps among themselves were compared above.
  std::vector<std::pair<std::string, std::string>> files;
  for (const MapOutput& m : plan.maps) {
    for (const int frame : {r.firstFrame, r.lastFrame}) {
      files.emplace_back("the map " + m.name, ExpandFramePattern(m.pathTemplate, frame));
    }
  }
  if (!r.sheet.empty()) files.emplace_back("the sheet", r.sheet);
  files.insert(files.end(), r.otherOutputs.begin(), r.otherOutputs.end());
  CheckDistinctOutputs(files);
  return plan;
}

json WrittenFile::Json() const {
  return {{"path", path},
          {"map", map},
          {"width", width},
          {"height", height},
          {"channels", channels},
          {"pixel_type", PixelTypeName(type)},
          {"color_space", colorSpace},
          {"frame", frame}};
}

BakeJob::BakeJob(OutputPlan plan, BakeSettings settings, std::string software)
    : plan_(std::move(plan)), settings_(std::move(settings)), software_(std::move(software)) {}

json BakeJob::Description(int frame, const json& params) const {
  const BakeSettings& s = settings_;
  const Region region = Rect();
  json bake = {{"frame", frame},
               {"fps", kFramesPerSecond},
               {"size", {s.view.width, s.view.height}},
               {"samples", s.samples},
               {"geometry", GeometryName(s.view.geometry)},
               {"extent", s.view.extent},
               {"filter", s.filter},
               {"normal_convention", ConventionName(plan_.convention)},
               {"bump_scale", s.bumpScale},
               {"roughness", {s.roughnessSurface, s.roughnessScratch}}};
  // Only sets with an orm map record the metallic, so that every other image's description
  // stays as it was.
  if (std::find(s.maps.begin(), s.maps.end(), MapKind::ORM) != s.maps.end()) {
    bake["metallic"] = {s.metallicSurface, s.metallicScratch};
  }
  if (!s.region.Empty()) bake["region"] = {region.x0, region.y0, region.x1, region.y1};
  if (s.view.offsetX != 0 || s.view.offsetY != 0) {
    bake["offset"] = {s.view.offsetX, s.view.offsetY};
  }
  if (plan_.repeat > 1) bake["repeat"] = plan_.repeat;
  if (s.mesh) bake["mesh"] = MeshJson(*s.mesh);
  return {{"tamrel", bake}, {"params", params}};
}

FrameResult BakeJob::RunFrame(Texmap& map, int frame, const json& params,
                              const std::function<void(std::int64_t, std::int64_t)>& progress) {
  FrameResult result;
  BakeSettings settings = settings_;
  settings.progress = progress;
  const Region region = Rect();
  const int n = plan_.repeat;
  const std::vector<MapOutput>& outputs = plan_.maps;
  json description = Description(frame, params);
  // A repeated bake holds the frame to write it n times over; every other bake streams its
  // bands to the files.
  const bool holdFrame = n > 1;
  std::vector<std::unique_ptr<ImageFileWriter>> writers;
  std::vector<Raster> held;
  std::unique_ptr<ImageFileWriter> sheet;
  std::vector<float> sheetRows;
  BakeOutcome outcome;
  const auto openWriters = [&] {
    if (settings.tileable) {
      description["tamrel"]["tileable"] = TileableJson(settings.view.width, outcome.nudge);
    }
    for (const MapOutput& m : outputs) {
      json tagged = description;
      tagged["tamrel"]["output"] = m.name;
      ImageFileOptions options = m.options;
      options.metadata = {{"ImageDescription", tagged.dump()}, {"Software", software_}};
      auto writer = std::make_unique<ImageFileWriter>();
      const std::string path = ExpandFramePattern(m.pathTemplate, frame);
      if (std::string why = writer->Open(path, region.Width() * n, region.Height() * n,
                                         MapChannels(m.kind), options);
          !why.empty()) {
        Fail(EXIT_OUTPUT, why);
      }
      writers.push_back(std::move(writer));
    }
    if (plan_.sheet.empty()) return;
    sheet = std::make_unique<ImageFileWriter>();
    ImageFileOptions sheetOptions = plan_.sheetOptions;
    sheetOptions.metadata = {{"Software", software_}};
    if (std::string why = sheet->Open(plan_.sheet,
                                      region.Width() * static_cast<int>(outputs.size()),
                                      region.Height(), 3, sheetOptions);
        !why.empty()) {
      Fail(EXIT_OUTPUT, why);
    }
  };
  // A tileable bake's nudge, which its files record, is known once the map is in its tileable
  // state: its files open with the first band.
  if (!holdFrame && !settings.tileable) openWriters();

  bool sinkFailed = false;
  // A signal while the frame is baked and written only raises the flag, which the work polls,
  // so that the run can say what it left undone (and --json report it).
  const GracefulInterrupt stopsAtNextCheck;
  try {
    if (holdFrame) {
      result.complete = BakeFrame(map, frame * kTicksPerFrame, settings, held, &outcome);
    } else {
      result.complete = BakeFrame(
          map, frame * kTicksPerFrame, settings,
          [&](int y0, int y1, const std::vector<Raster>& bands) {
            if (writers.empty()) {
              try {
                openWriters();
              } catch (const Failure& f) {
                sinkFailed = true;
                return f.message;
              }
            }
            // The maps of a set are encoded side by side, each file on a thread of its own (one
            // encoder alone falls behind the render threads); the error reported is that of the
            // first map in the set's order that failed.
            std::vector<std::future<std::string>> others;
            for (std::size_t i = 1; i < bands.size(); ++i) {
              others.push_back(std::async(std::launch::async, [&, i] {
                return writers[i]->WriteRows(y0, y1, bands[i].pixels.data());
              }));
            }
            std::string failed = writers[0]->WriteRows(y0, y1, bands[0].pixels.data());
            for (std::future<std::string>& other : others) {
              std::string why = other.get();
              if (failed.empty()) failed = std::move(why);
            }
            if (!failed.empty()) {
              sinkFailed = true;
              return failed;
            }
            if (sheet) {
              SheetRows(bands, sheetRows);
              std::string e = sheet->WriteRows(y0, y1, sheetRows.data());
              sinkFailed = !e.empty();
              return e;
            }
            return std::string();
          },
          &outcome);
    }
    result.nudge = outcome.nudge;
    result.coveredPixels = outcome.coveredPixels;
  } catch (const BakeError& e) {
    Fail(sinkFailed ? EXIT_OUTPUT : EXIT_USAGE, e.what());
  } catch (const Failure&) {
    throw;
  } catch (const std::bad_alloc&) {
    Fail(EXIT_RENDER, "not enough memory to bake " + std::to_string(region.Width()) + "x" +
                          std::to_string(region.Height()) + " pixels of " +
                          std::to_string(outputs.size()) + (outputs.size() > 1 ? " maps" : " map") +
                          "; bake a smaller size, or the image in parts with --region");
  } catch (const std::exception& e) {
    Fail(EXIT_RENDER, std::string("render failed: ") + e.what());
  }
  if (holdFrame && result.complete && !InterruptRequested().load()) {
    // The repeat is written band by band from the one tile, so that memory holds the tile and a
    // band, never the N x N image.
    openWriters();
    std::vector<float> rows;
    const int bandRows = std::max(1, settings.bandRows);
    for (std::size_t i = 0; i < held.size() && !InterruptRequested().load(); ++i) {
      const int h = held[i].height;
      for (int copy = 0; copy < n && !InterruptRequested().load(); ++copy) {
        for (int y = 0; y < h && !InterruptRequested().load(); y += bandRows) {
          const int end = std::min(h, y + bandRows);
          RepeatedRows(held[i], n, y, end, rows);
          if (std::string e = writers[i]->WriteRows(copy * h + y, copy * h + end, rows.data());
              !e.empty()) {
            Fail(EXIT_OUTPUT, e);
          }
        }
      }
    }
    if (sheet && !InterruptRequested().load()) {
      SheetRows(held, sheetRows);
      if (std::string e = sheet->WriteRows(0, region.Height(), sheetRows.data()); !e.empty()) {
        Fail(EXIT_OUTPUT, e);
      }
    }
  }
  // A signal ends the frame as a failure; a cancel of the caller's own only returns.
  if (InterruptRequested().load()) {
    Fail(InterruptExitCode() != 0 ? InterruptExitCode() : 128 + SIGINT,
         "interrupted; " +
             (writers.empty() ? ExpandFramePattern(outputs.front().pathTemplate, frame)
                              : writers.front()->path()) +
             (outputs.size() > 1 ? " and the other maps were" : " was") + " not written");
  }
  if (!result.complete) return result;  // cancelled: the writers remove their temporary files

  // Every map of the frame is complete before any of them replaces a file.
  if (sheet) writers.push_back(std::move(sheet));
  if (std::string why = CloseAndCommitAll(writers); !why.empty()) Fail(EXIT_OUTPUT, why);
  for (std::size_t i = 0; i < writers.size(); ++i) {
    const ImageFileWriter& w = *writers[i];
    const bool isSheet = i == outputs.size();
    WrittenFile f;
    f.path = ShownPath(w.path());
    f.map = isSheet ? "sheet" : outputs[i].name;
    f.width = isSheet ? region.Width() * static_cast<int>(outputs.size()) : region.Width() * n;
    f.height = isSheet ? region.Height() : region.Height() * n;
    f.channels = isSheet ? 3 : MapChannels(outputs[i].kind);
    f.type = w.type();
    f.colorSpace = w.encoded() ? "sRGB" : "Linear";
    f.frame = frame;
    result.files.push_back(std::move(f));
  }
  return result;
}

}  // namespace tamrel::host
