// Small drawn icons for the toolbar, the page bars and the view bar, and the program icon.
#pragma once

#include <QIcon>

enum class TGlyph : std::uint8_t {
  open, save, scan, print, exportPages, rotate, resize, negative, deskew, contrast,
  selectAll, invertSelection, moveUp, moveDown, addFiles, remove, emptyAll,
  zoomIn, zoomOut, fit, actualSize, navigator, crop, blur, undo, redo,
};

QIcon GlyphIcon(TGlyph glyph);
QIcon ProgramIcon();
