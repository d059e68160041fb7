// libFuzzer target for the scene loader: any byte string either loads into a scene that saves
// and loads again, or is refused with a message; nothing in between, and no crash, hang or leak.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "SdkTestClasses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TestClasses* classes = new TestClasses;
  std::string err;
  auto scene = LoadSceneFromBytes(std::span(data, size), classes->dir, err);
  if (!scene) {
    if (err.empty()) std::abort();  // a refusal must say why
    return 0;
  }
  std::vector<std::uint8_t> again;
  if (!SaveSceneToBytes(*scene, again, err)) std::abort();
  if (!LoadSceneFromBytes(again, classes->dir, err)) std::abort();
  return 0;
}
