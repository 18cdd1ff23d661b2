// TQtClipboard: the system clipboard (QClipboard) behind the core's TVlClipboard.
//
// Copy collects every format of one copy in one QMimeData and hands it over on Close. Paste
// reads blocks by MIME type; they are untrusted and the core's readers parse them. A format
// the core cannot read in this build (PNG without a decoder) is not offered to it, so paste
// falls through to the next one. Blocks above kMaxBlock bytes are refused.

#pragma once

#include <QClipboard>

#include <memory>

#include "proc/clipboard.h"

class QMimeData;

class TQtClipboard final : public TVlClipboard {
 public:
  static constexpr qint64 kMaxBlock = qint64(1) << 30;
  explicit TQtClipboard(QClipboard::Mode mode = QClipboard::Clipboard) : mode_(mode) {}
  ~TQtClipboard() override;
  bool Open() override;
  void Close() override;
  void Clear() override;
  void SetData(const std::string& mime, std::vector<std::uint8_t> data) override;
  bool GetData(const std::string& mime, std::vector<std::uint8_t>& data) override;

 private:
  QClipboard::Mode mode_;
  std::unique_ptr<QMimeData> pending_;
};
