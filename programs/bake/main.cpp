// lumivex-bake MESHFILE OUT_PREFIX [options]
// Samples the first group of a mesh file at texel centres, bakes light into
// the lightmap with the library's reference baker, and writes
// OUT_PREFIX-lightmap.exr, OUT_PREFIX-lightmap.png and OUT_PREFIX.glb.

#include <lumivex/bake.h>
#include <lumivex/lumivex.h>


#include <atomic>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bake_outputs.h"
#include "baked_model.h"
#include "common/arguments.h"
#include "common/process_setup.h"
#include "common/progress_line.h"

namespace {

constexpr const char* kUsageLine = "lumivex-bake MESHFILE OUT_PREFIX [options]";
constexpr const char* kUsage =
    "Usage : lumivex-bake MESHFILE OUT_PREFIX [options]\n"
    "MESHFILE         : a mesh file (.kvx) whose first group has lightmap coordinates\n"
    "                   (lumivex-import --generate-lightmap-uv makes them)\n"
    "OUT_PREFIX       : writes OUT_PREFIX-lightmap.exr (linear), OUT_PREFIX-lightmap.png (sRGB)\n"
    "                   and OUT_PREFIX.glb (the model showing the lightmap)\n"
    "Options :\n"
    "--size N         : lightmap width and height, 1 to 16384 (default 512)\n"
    "--ao             : bake ambient occlusion alone (1 where nothing occludes)\n"
    "--ao-distance D  : how far an occluder counts (default a quarter of the model's diagonal)\n"
    "--sun X,Y,Z[,I]  : a sun in direction X,Y,Z (toward the sun) of intensity I (default 1)\n"
    "--sky R,G,B      : sky colour, what an open surface facing up receives (default 1,1,1;\n"
    "                   0,0,0 for none)\n"
    "--horizon R,G,B  : sky colour at the horizon, blending to --sky straight up (default: --sky)\n"
    "--up X,Y,Z       : up for the sky (default 0,1,0)\n"
    "--bounces K      : diffuse interreflections, 0 to 16 (default 0)\n"
    "--albedo A       : share of light surfaces reflect, 0 to 1 (default 0.5)\n"
    "--rays N         : rays per texel, 1 to 65536 (default 64)\n"
    "--seed S         : seed of the random numbers (default 0); the same seed, the same bytes\n"
    "--dilate N       : rings of texels filled around the charts, 0 to 64 (default 2)\n"
    "--exposure E     : scale applied before the PNG's tone mapping (default 1)\n"
    "--threads N      : threads to use, 1 to 1024 (default: every processor)\n"
    "-h, --help       : show this text\n"
    "--version        : show the version\n"
    "Exit codes : 0 written, 1 usage, 2 mesh file unreadable (or the bake failed), 3 no triangles,\n"
    "             5 output not written, 130 or 143 interrupted (nothing written)\n";

std::atomic<bool> cancelRequested{false};
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) {
  stopSignal = signal;
  cancelRequested.store(true);
}

int refuse(const std::string& what) {
  lumivex::printArgumentRefusal(what, "lumivex-bake", kUsageLine);
  return 1;
}

// "1,2,3": `count` finite numbers separated by commas (or count - 1 when the
// last may be left out).
bool parseNumbers(const std::string& text, std::size_t fewest, std::size_t most, std::vector<float>& numbers) {
  numbers.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string part = text.substr(start, comma - start);
    char* end = nullptr;
    const double value = std::strtod(part.c_str(), &end);
    if (part.empty() || end != part.c_str() + part.size() || !std::isfinite(value)) return false;
    numbers.push_back(static_cast<float>(value));
    start = comma + 1;
  }
  return numbers.size() >= fewest && numbers.size() <= most;
}

struct Settings {
  std::string meshFile;
  std::string prefix;
  std::int32_t size = 512;
  float exposure = 1.0f;
  bool horizonGiven = false;
  lumivex::BakeOptions bake;
};

lumivex::Vector3 vectorOf(const std::vector<float>& numbers) { return {numbers[0], numbers[1], numbers[2]}; }

// One option with its value; an empty string when it was taken.
std::string takeOption(const std::string& name, const std::string& value, Settings& settings) {
  std::vector<float> numbers;
  const auto whole = [&](std::uint64_t lowest, std::uint64_t highest, auto& into) {
    const auto parsed = lumivex::parseWholeNumber(value, lowest, highest);
    if (!parsed) return false;
    into = static_cast<std::remove_reference_t<decltype(into)>>(*parsed);
    return true;
  };
  const auto number = [&](float lowest, float highest, float& into) {
    if (!parseNumbers(value, 1, 1, numbers) || numbers[0] < lowest || numbers[0] > highest) return false;
    into = numbers[0];
    return true;
  };
  lumivex::BakeOptions& bake = settings.bake;
  bool ok = false;
  if (name == "--size") ok = whole(1, 16384, settings.size);
  else if (name == "--rays") ok = whole(1, 65536, bake.rays);
  else if (name == "--bounces") ok = whole(0, 16, bake.bounces);
  else if (name == "--seed") ok = whole(0, UINT64_MAX, bake.seed);
  else if (name == "--dilate") ok = whole(0, 64, bake.dilate);
  else if (name == "--threads") ok = whole(1, 1024, bake.threads);
  else if (name == "--albedo") ok = number(0.0f, 1.0f, bake.albedo);
  else if (name == "--exposure") ok = number(0.0f, 1e30f, settings.exposure);
  else if (name == "--ao-distance") ok = number(0.0f, 3e38f, bake.aoDistance);
  else if (name == "--sun") {
    ok = parseNumbers(value, 3, 4, numbers) && (numbers[0] != 0 || numbers[1] != 0 || numbers[2] != 0) &&
         (numbers.size() == 3 || numbers[3] >= 0);
    if (ok) bake.sunDirection = vectorOf(numbers), bake.sunIntensity = numbers.size() == 4 ? numbers[3] : 1.0f;
  } else if (name == "--sky" || name == "--horizon") {
    ok = parseNumbers(value, 3, 3, numbers) && numbers[0] >= 0 && numbers[1] >= 0 && numbers[2] >= 0;
    if (ok) (name == "--sky" ? bake.skyZenith : bake.skyHorizon) = vectorOf(numbers);
    if (name == "--horizon") settings.horizonGiven = true;
  } else if (name == "--up") {
    ok = parseNumbers(value, 3, 3, numbers) && (numbers[0] != 0 || numbers[1] != 0 || numbers[2] != 0);
    if (ok) bake.up = vectorOf(numbers);
  } else {
    return "unknown option " + name;
  }
  return ok ? "" : "invalid value \"" + value + "\" for " + name;
}

// -1 to go on, or the exit code.
int readArguments(int argc, char** argv, Settings& settings) {
  lumivex::ArgumentReader arguments(argc, argv);
  std::vector<std::string> names;
  while (!arguments.done()) {
    const std::string argument = arguments.next();
    if (!arguments.isOption()) {
      names.push_back(argument);
    } else if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "--version") {
      std::printf("lumivex-bake %s\n", lumivex::version());
      return 0;
    } else if (argument == "--ao") {
      if (arguments.hasInlineValue()) return refuse("option --ao takes no value");
      settings.bake.ambientOcclusion = true;
    } else {
      const auto value = arguments.value();
      if (!value) return refuse("option " + argument + " needs a value");
      if (const std::string problem = takeOption(argument, *value, settings); !problem.empty()) return refuse(problem);
    }
  }
  if (names.size() < 2) return refuse(names.empty() ? "MESHFILE and OUT_PREFIX are missing" : "OUT_PREFIX is missing");
  if (names.size() > 2) return refuse("unexpected argument \"" + names[2] + "\"");
  settings.meshFile = names[0];
  settings.prefix = names[1];
  if (!settings.horizonGiven) settings.bake.skyHorizon = settings.bake.skyZenith;
  return -1;
}

// Ends the program by the signal that stopped it, as a shell expects (it
// sees 128 + the signal); nothing has been written by then.
int interrupted() {
  const int signalNumber = stopSignal != 0 ? static_cast<int>(stopSignal) : SIGINT;
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
  return 128 + signalNumber;
}

// Writes the three files, each whole; on a failure removes those already
// written. -1 when all are written, or the exit code.
int writeOutputs(const Settings& settings, const lumivex::BakedModel& model, const lumivex::BakeImage& image) {
  const std::vector<std::uint8_t> png = lumivex::pngBytes(image, settings.exposure);
  std::string problem;
  const std::vector<std::uint8_t> glb = png.empty() ? std::vector<std::uint8_t>{} : lumivex::glbBytes(model, png, problem);
  const std::vector<std::uint8_t> exr = lumivex::exrBytes(image);
  const std::string names[3] = {settings.prefix + "-lightmap.exr", settings.prefix + "-lightmap.png",
                                settings.prefix + ".glb"};
  const std::vector<std::uint8_t>* contents[3] = {&exr, &png, &glb};
  for (int k = 0; k < 3; ++k) {
    lumivex::Result written{lumivex::Status::CannotWrite, "the image could not be encoded"};
    if (cancelRequested) return interrupted();
    if (!contents[k]->empty()) written = lumivex::writeWholeFile(names[k].c_str(), *contents[k]);
    if (!written) {
      std::fprintf(stderr, "Error : Unable to write %s : %s\n", names[k].c_str(),
                   k == 2 && !problem.empty() ? problem.c_str() : lumivex::reason(written).c_str());
      for (int done = 0; done < k; ++done) std::remove(names[done].c_str());
      return 5;
    }
  }
  return -1;
}

void printSummary(const Settings& settings, const lumivex::BakeImage& image, double seconds) {
  const lumivex::BakeStats& stats = image.stats;
  std::printf("Size          : %d x %d\n", image.width, image.height);
  std::printf("Covered       : %llu texels, %llu inside geometry (%llu filled from neighbours)\n",
              static_cast<unsigned long long>(stats.coveredTexels), static_cast<unsigned long long>(stats.invalidTexels),
              static_cast<unsigned long long>(stats.filledTexels));
  std::printf("Dilated       : %llu texels\n", static_cast<unsigned long long>(stats.dilatedTexels));
  std::printf("Rays          : %llu in %.2f s (%.1f million per second)\n", static_cast<unsigned long long>(stats.rays),
              seconds, seconds > 0 ? static_cast<double>(stats.rays) / seconds / 1e6 : 0.0);
  std::printf("Written       : %s-lightmap.exr, %s-lightmap.png, %s.glb\n", settings.prefix.c_str(),
              settings.prefix.c_str(), settings.prefix.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  lumivex::prepareProcess();
  Settings settings;
  if (const int code = readArguments(argc, argv, settings); code >= 0) return code;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, onStopSignal);

  lumivex::LoadOptions load;
  load.cancel = &cancelRequested;
  lumivex::MeshFile file;
  if (const lumivex::Result loaded = lumivex::loadMeshFile(settings.meshFile.c_str(), file, load); !loaded) {
    if (loaded.status == lumivex::Status::Cancelled) return interrupted();
    std::fprintf(stderr, "Error : Unable to read mesh file %s : %s\n", settings.meshFile.c_str(),
                 lumivex::reason(loaded).c_str());
    return 2;
  }
  const lumivex::BakedModel model = lumivex::bakedModelOf(file);
  if (model.triangleCount() == 0) {
    std::fprintf(stderr, "Error : No triangles to bake in the first group of %s\n", settings.meshFile.c_str());
    return 3;
  }
  const std::vector<lumivex::MeshArrays> arrays = model.arrays();
  const auto started = std::chrono::steady_clock::now();
  lumivex::BakeImage image;
  settings.bake.cancel = &cancelRequested;
  lumivex::ProgressLine line;
  settings.bake.progress = line.of("Baking");
  const lumivex::Result baked = lumivex::bakeMeshes(arrays, lumivex::GridSize{settings.size, settings.size},
                                                    settings.bake, image);
  line.end();
  if (baked.status == lumivex::Status::Cancelled) return interrupted();
  if (!baked) {
    std::fprintf(stderr, "Error : Unable to bake %s : %s\n", settings.meshFile.c_str(), lumivex::reason(baked).c_str());
    return 2;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (const int code = writeOutputs(settings, model, image); code >= 0) return code;
  printSummary(settings, image, seconds);
  return 0;
}
