#include "tests/e2e/input/XPointer.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

XPointerReader::XPointerReader(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}

XPointerReader::~XPointerReader() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

PointerImage XPointerReader::Current() {
  PointerImage p;
  if (XFixesCursorImage* c = XFixesGetCursorImage(static_cast<Display*>(display_))) {
    p = {c->width, c->height, c->xhot, c->yhot, {}};
    for (int i = 0; i < c->width * c->height; ++i) p.argb.push_back(static_cast<uint32_t>(c->pixels[i]));
    XFree(c);
  }
  return p;
}
