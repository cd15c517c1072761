#include <gtest/gtest.h>

#include <algorithm>

#include "RendererChoice.h"

namespace zormak::renderer {
namespace {

TEST(RendererChoice, SoftwareRasterizersAreToldFromGpus) {
  struct Case {
    const char* name;
    bool software;
  } cases[] = {
      // What Mesa's EGL names as its driver, and GL renderer strings.
      {"swrast", true},
      {"kms_swrast", true},
      {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
      {"softpipe", true},
      {"Google SwiftShader", true},
      {"SwiftShader Device (Subzero)", true},
      {"Software Rasterizer", true},
      {"LAVAPIPE", true},
      {"iris", false},
      {"radeonsi", false},
      {"i965", false},
      {"virtio_gpu", false},
      {"zink", false},
      {"NVIDIA GeForce RTX 3060/PCIe/SSE2", false},
      {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false},
      {"AMD Radeon RX 6600 (radeonsi, navi23, LLVM 15.0.6, DRM 3.49)", false},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(isSoftwareRasterizer(c.name), c.software) << c.name;
}

TEST(RendererChoice, CairoOnlyForSoftwareGlAndNeverOverTheUsersRenderer) {
  struct Case {
    const char* label;
    Facts facts;
    bool cairo;
    const char* logged;  // a part of the log line
  } cases[] = {
      {"software GL", {std::nullopt, "swrast", false, ""}, true, "swrast"},
      {"a display without DRI", {std::nullopt, std::nullopt, true, ""}, true, "无 DRI"},
      {"user's gl without DRI", {"gl", std::nullopt, true, ""}, false, "GSK_RENDERER=gl"},
      {"llvmpipe renderer", {std::nullopt, "llvmpipe (LLVM 15)", false, ""}, true, "cairo"},
      {"a GPU", {std::nullopt, "iris", false, ""}, false, "iris"},
      {"GL silent", {std::nullopt, std::nullopt, false, "EGL 打不开"}, false, "EGL 打不开"},
      {"user's gl over software GL", {"gl", "swrast", false, ""}, false, "GSK_RENDERER=gl"},
      {"user's ngl", {"ngl", std::nullopt, false, ""}, false, "GSK_RENDERER=ngl"},
      {"user's empty value", {"", "llvmpipe", false, ""}, false, "GSK_RENDERER="},
      {"user's value with LF", {"gl\n[ZORMAK] x", "swrast", false, ""}, false, "gl?[ZORMAK] x"},
      {"user's cairo on a GPU", {"cairo", "radeonsi", false, ""}, false, "GSK_RENDERER=cairo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Choice choice = choose(c.facts);
    EXPECT_EQ(choice.useCairo, c.cairo);
    // The web view gives up the GPU exactly when the window does.
    EXPECT_EQ(choice.webAcceleration, !c.cairo);
    EXPECT_TRUE(choice.logLine.starts_with("[ZORMAK] ")) << choice.logLine;
    EXPECT_TRUE(choice.logLine.ends_with("\n"));
    EXPECT_EQ(std::count(choice.logLine.begin(), choice.logLine.end(), '\n'), 1);
    EXPECT_NE(choice.logLine.find(c.logged), std::string::npos) << choice.logLine;
  }
}

}  // namespace
}  // namespace zormak::renderer
