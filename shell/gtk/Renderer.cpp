#include "Renderer.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <glib.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace zormak::gtk::renderer {

namespace {

using zormak::renderer::Facts;

bool hasExtension(const char* list, const char* name) {
  if (!list)
    return false;
  const std::size_t length = std::strlen(name);
  for (const char* at = std::strstr(list, name); at; at = std::strstr(at + 1, name)) {
    if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0'))
      return true;
  }
  return false;
}

// The windowing system GDK will pick: Wayland first where a compositor is
// named, as GDK tries it, unless GDK_BACKEND puts X11 before it.
EGLenum displayPlatform() {
  const char* backend = g_getenv("GDK_BACKEND");
  const char* wayland = g_getenv("WAYLAND_DISPLAY");
  const bool haveWayland = wayland && *wayland;
  if (backend && *backend) {
    for (const char* at = backend; *at;) {
      const char* end = std::strchr(at, ',');
      const std::string name(at, end ? end - at : std::strlen(at));
      if (name == "x11")
        return EGL_PLATFORM_X11_KHR;
      if (name == "wayland" && haveWayland)
        return EGL_PLATFORM_WAYLAND_KHR;
      if (name == "*")
        break;
      if (!end)
        break;
      at = end + 1;
    }
  }
  return haveWayland ? EGL_PLATFORM_WAYLAND_KHR : EGL_PLATFORM_X11_KHR;
}

// Without Mesa's driver query: a context without a surface, and the
// renderer string of GL ES itself.
std::optional<std::string> rendererOfContext(EGLDisplay display, std::string& problem) {
  const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
  if (!hasExtension(extensions, "EGL_KHR_surfaceless_context") ||
      !hasExtension(extensions, "EGL_KHR_no_config_context") || !eglBindAPI(EGL_OPENGL_ES_API)) {
    problem = "EGL 不支持无表面的上下文";
    return std::nullopt;
  }
  const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_NONE};
  EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
  if (context == EGL_NO_CONTEXT) {
    problem = "无法创建 GL 上下文";
    return std::nullopt;
  }
  std::optional<std::string> name;
  using GetString = const unsigned char* (*)(unsigned);
  constexpr unsigned kGlRenderer = 0x1F01;
  auto getString = reinterpret_cast<GetString>(eglGetProcAddress("glGetString"));
  if (getString && eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
    if (const unsigned char* text = getString(kGlRenderer))
      name = reinterpret_cast<const char*>(text);
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  }
  eglDestroyContext(display, context);
  if (!name)
    problem = "GL 没有给出渲染器名称";
  return name;
}

// Whether the X server offers GL a way to a GPU: Mesa reaches one through
// DRI3 or DRI2, NVIDIA's driver through its own GLX. Without any (Xvfb, many
// remote desktops) Mesa can only rasterize in software. None when the server
// cannot be reached; EGL is then asked and fails in its own words.
std::optional<bool> xServerOffersGpu() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return std::nullopt;
  }
  const char* const kWays[] = {"DRI3", "DRI2", "NV-GLX"};
  xcb_query_extension_cookie_t cookies[std::size(kWays)];
  for (std::size_t i = 0; i < std::size(kWays); ++i)
    cookies[i] =
        xcb_query_extension(connection, static_cast<uint16_t>(std::strlen(kWays[i])), kWays[i]);
  bool offered = false;
  for (auto cookie : cookies) {
    if (xcb_query_extension_reply_t* reply =
            xcb_query_extension_reply(connection, cookie, nullptr)) {
      offered = offered || reply->present;
      std::free(reply);
    }
  }
  xcb_disconnect(connection);
  return offered;
}

Facts probe() {
  Facts facts;
  if (const char* user = g_getenv("GSK_RENDERER")) {
    facts.userRenderer = user;
    return facts;  // not even asked: GL stays untouched until GTK wants it
  }
  const EGLenum platform = displayPlatform();
  if (platform == EGL_PLATFORM_X11_KHR && xServerOffersGpu() == false) {
    facts.softwareOnly = true;
    return facts;
  }
  // EGL_DEFAULT_DISPLAY: EGL opens the display the environment names, as
  // GDK will, and closes it again on eglTerminate. This loads the GL driver,
  // which GTK's GL renderer would load anyway on a GPU.
  EGLDisplay display = eglGetPlatformDisplay(platform, EGL_DEFAULT_DISPLAY, nullptr);
  EGLint major = 0, minor = 0;
  if (display == EGL_NO_DISPLAY || !eglInitialize(display, &major, &minor)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04x", static_cast<unsigned>(eglGetError()));
    facts.problem = std::string("EGL 无法打开显示，错误 ") + code;
    eglReleaseThread();
    return facts;
  }
  // Mesa names its driver without a context, which spares starting its
  // rasterizer ("swrast" for llvmpipe and softpipe).
  if (hasExtension(eglQueryString(display, EGL_EXTENSIONS), "EGL_MESA_query_driver")) {
    auto driverName = reinterpret_cast<PFNEGLGETDISPLAYDRIVERNAMEPROC>(
        eglGetProcAddress("eglGetDisplayDriverName"));
    if (const char* name = driverName ? driverName(display) : nullptr)
      facts.glName = name;
  }
  if (!facts.glName)
    facts.glName = rendererOfContext(display, facts.problem);
  eglTerminate(display);
  eglReleaseThread();
  return facts;
}

}  // namespace

zormak::renderer::Choice settle() {
  const auto choice = zormak::renderer::choose(probe());
  if (choice.useCairo)
    g_setenv("GSK_RENDERER", "cairo", TRUE);
  return choice;
}

}  // namespace zormak::gtk::renderer
