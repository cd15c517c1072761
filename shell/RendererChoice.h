#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zormak::renderer {

// GTK 4 draws its windows with GL when GL works at all, also when GL is only
// a software rasterizer (virtual machines, remote desktops, machines without
// a working driver). There the GL renderer costs about 110 MiB and draws no
// faster than cairo, so on such a display the window is drawn with cairo and
// the web view gives up its hardware acceleration. This decides that from
// what the display's GL says of itself; the platform layer asks and applies.

struct Facts {
  // GSK_RENDERER as the user's environment has it; set (even empty), it is
  // the user's choice and is never replaced.
  std::optional<std::string> userRenderer;
  // The name GL gives its driver or renderer on the display the window will
  // use ("swrast", "iris", "llvmpipe (LLVM 15.0.6, 256 bits)"), or none when
  // GL could not be asked; then `problem` says why.
  std::optional<std::string> glName;
  // The display offers GL no way to a GPU (an X server with neither DRI nor
  // a vendor's own GL extension), so GL there can only be software; found
  // without loading a GL driver, which would cost some 50 MiB and a few
  // hundred milliseconds on a busy machine just to be told so.
  bool softwareOnly = false;
  std::string problem;
};

struct Choice {
  bool useCairo = false;        // put GSK_RENDERER=cairo in the environment
  bool webAcceleration = true;  // false: the web view never uses the GPU
  std::string logLine;          // one line for the service log, "\n" ended
};

// True for the names of software rasterizers (llvmpipe, softpipe, swrast,
// SwiftShader, lavapipe, Mesa's "Software Rasterizer"), in any case.
bool isSoftwareRasterizer(std::string_view glName);

Choice choose(const Facts& facts);

}  // namespace zormak::renderer
