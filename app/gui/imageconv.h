// Images for the screen: a TVlBitmap copied into a QImage, and a box-filtered reduction.
//
//   VlToQImage     vl1g -> Format_Mono (index 1 white), vl8p -> Indexed8, vl8g -> Grayscale8,
//                  vl24RGB -> BGR888; other formats are converted to vl24RGB on a copy first.
//                  Rows are read one at a time, so images held in a temporary file stream.
//   VlScaleForScreen  an RGB32 image of the given size: every destination pixel averages its
//                  box of source pixels (smooth), or takes the box's first pixel (fast).
#pragma once

#include <QImage>

class TVlBitmap;

QImage VlToQImage(TVlBitmap& bitmap);
QImage VlScaleForScreen(const QImage& source, int width, int height, bool smooth);
