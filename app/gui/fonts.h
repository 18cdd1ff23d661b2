// The program's font: "微软雅黑" (Microsoft YaHei) when installed, else Noto Sans CJK SC, else
// WenQuanYi Micro Hei, else a Song face at 12 pixels.
//
// Only families the font database really lists count; fontconfig would otherwise match any
// requested name to some fallback face.
#pragma once

#include <QFont>
#include <QStringList>

// The font for the given installed families (QFontDatabase::families()).
QFont ChooseProgramFont(const QStringList& families);
// Chooses from the installed families and makes it the application font.
void ApplyProgramFont();
