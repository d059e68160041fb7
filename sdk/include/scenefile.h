// Scene files: a set of root objects stored with everything they reference.
//
// Every object is written with its class identity, its references (as indices of other stored
// objects) and the data its own Save writes; parameter blocks are objects like any other and keep
// their values by block ID and parameter ID. Loading is all or nothing: a file that is truncated,
// corrupt or hostile yields an error text and no objects at all. Saving replaces the file only
// once the new one is completely on disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "plugapi.h"
#include "ref.h"

// The classes a host can create when it reads a scene, found by super class and class ID.
class ClassDirectory {
 public:
  void AddClass(ClassDesc* cd);
  ClassDesc* FindClass(SClass_ID super, const Class_ID& id) const;

 private:
  std::vector<ClassDesc*> classes_;
};

// The roots of a scene. Deleting the scene releases every object that only it kept alive.
class Scene : public ReferenceMaker {
 public:
  // Adds a root; false when target is null.
  bool AddRoot(ReferenceTarget* target);
  int NumRoots() const { return static_cast<int>(roots_.size()); }
  ReferenceTarget* GetRoot(int i) const;

  int NumRefs() override { return static_cast<int>(roots_.size()); }
  RefTargetHandle GetReference(int i) override { return GetRoot(i); }

 protected:
  void SetReference(int i, RefTargetHandle t) override;

 private:
  std::vector<ReferenceTarget*> roots_;
};

// Limits beyond which a file is taken as hostile rather than as a scene.
inline constexpr int kSceneMaxObjects = 1 << 20;
inline constexpr int kSceneMaxReferenceDepth = 256;
inline constexpr std::size_t kSceneMaxFileBytes = std::size_t{256} << 20;

// The scene in its stored form; false with a message when an object fails to save.
bool SaveSceneToBytes(Scene& scene, std::vector<std::uint8_t>& out, std::string& error);
// Writes through an AtomicFile: a failed save leaves the previous file as it was, and saves of
// the same file from several processes at once never share a temporary file.
bool SaveScene(Scene& scene, const std::filesystem::path& file, std::string& error);

std::unique_ptr<Scene> LoadSceneFromBytes(std::span<const std::uint8_t> data,
                                          const ClassDirectory& classes, std::string& error);
// Reads only a regular file of at most kSceneMaxFileBytes.
std::unique_ptr<Scene> LoadScene(const std::filesystem::path& file, const ClassDirectory& classes,
                                 std::string& error);
