#pragma once

#include "RendererChoice.h"

namespace zormak::gtk::renderer {

// Asks the GL of the display GDK will open what drives it and, where that is
// a software rasterizer and the user has not set GSK_RENDERER, sets
// GSK_RENDERER=cairo. Must run before GTK initialises: GDK reads the variable
// once, when it makes the window's renderer. The caller logs the choice and
// applies its web view policy to every web view it makes.
zormak::renderer::Choice settle();

}  // namespace zormak::gtk::renderer
