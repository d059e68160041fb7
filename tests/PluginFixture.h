// A test suite over the real plug-in: the library loaded once per suite through its exports, as
// tamrel loads it, and new maps kept alive by a scene of the test's own. The test target defines
// TAMREL_PLUGIN_PATH.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ParamSchema.h"
#include "engine/PluginLibrary.h"
#include "imtl.h"
#include "scenefile.h"

namespace tamrel::host {

class PluginFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = new PluginLibrary();
    ASSERT_TRUE(library_->Open(TAMREL_PLUGIN_PATH)) << library_->error();
    cd_ = library_->GetClassDesc(0);
    ASSERT_NE(cd_, nullptr);
  }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
    cd_ = nullptr;
  }

  // A new map with assignments applied, written as `tamrel render --set` takes them.
  Texmap* NewMap(const std::vector<std::string>& sets = {}) {
    auto* map = static_cast<Texmap*>(cd_->Create(FALSE));
    scene_.AddRoot(map);
    const ParamSchema schema(*cd_);
    for (const std::string& s : sets) ParamSchema::Apply(*map, schema.ParseAssignment(s));
    return map;
  }

  static inline PluginLibrary* library_ = nullptr;
  static inline ClassDesc* cd_ = nullptr;
  Scene scene_;
};

}  // namespace tamrel::host
