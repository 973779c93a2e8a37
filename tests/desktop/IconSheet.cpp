// Writes the tray icons to a PNG, each size at its real size and enlarged, on a light and a
// dark panel colour: a quick look at how they read. Usage: icon_sheet out.png
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>

#include "app/TrayIcon.h"

namespace {

constexpr int kZoom = 6;
constexpr int kCell = 32 * kZoom + 48;

void Blend(GdkPixbuf* sheet, int x, int y, const uint8_t* argb) {
  guchar* p = gdk_pixbuf_get_pixels(sheet) + y * gdk_pixbuf_get_rowstride(sheet) + x * 3;
  const int a = argb[0];
  for (int c = 0; c < 3; ++c) p[c] = static_cast<guchar>((argb[c + 1] * a + p[c] * (255 - a)) / 255);
}

void Fill(GdkPixbuf* sheet, int x0, int y0, int w, int h, uint8_t grey) {
  for (int y = y0; y < y0 + h; ++y) {
    guchar* row = gdk_pixbuf_get_pixels(sheet) + y * gdk_pixbuf_get_rowstride(sheet);
    for (int x = x0; x < x0 + w; ++x) row[x * 3] = row[x * 3 + 1] = row[x * 3 + 2] = grey;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s out.png\n", argv[0]);
    return 2;
  }
  const sablewick::TrayImage images[] = {sablewick::DrawLetterS(), sablewick::DrawHeart()};
  const int columns = 3, rows = 4;  // sizes; (S, heart) x (light, dark)
  GdkPixbuf* sheet = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, columns * kCell, rows * kCell);
  for (int row = 0; row < rows; ++row) {
    const uint8_t grey = row % 2 == 0 ? 0xE8 : 0x30;
    Fill(sheet, 0, row * kCell, columns * kCell, kCell, grey);
    const sablewick::TrayImage& img = images[row / 2];
    for (int col = 0; col < columns; ++col) {
      const sablewick::TrayPixmap& p = img.pixmaps[col];
      const int x0 = col * kCell + 4, y0 = row * kCell + 4;
      for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
          const uint8_t* px = &p.argb[(y * p.width + x) * 4];
          Blend(sheet, x0 + x, y0 + y, px);  // real size
          for (int dy = 0; dy < kZoom; ++dy) {
            for (int dx = 0; dx < kZoom; ++dx) {
              Blend(sheet, x0 + 12 + x * kZoom + dx, y0 + 8 + y * kZoom + dy, px);
            }
          }
        }
      }
    }
  }
  GError* error = nullptr;
  if (!gdk_pixbuf_save(sheet, argv[1], "png", &error, nullptr)) {
    std::fprintf(stderr, "%s\n", error->message);
    return 1;
  }
  g_object_unref(sheet);
  return 0;
}
