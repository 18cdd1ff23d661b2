#include "app/gui/qt_clipboard.h"

#include <QGuiApplication>
#include <QMimeData>


TQtClipboard::~TQtClipboard() = default;

bool TQtClipboard::Open() { return QGuiApplication::clipboard() != nullptr; }

void TQtClipboard::Clear() { pending_ = std::make_unique<QMimeData>(); }

void TQtClipboard::SetData(const std::string& mime, std::vector<std::uint8_t> data) {
  if (!pending_)
    pending_ = std::make_unique<QMimeData>();
  pending_->setData(QString::fromStdString(mime),
                    QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size())));
}

void TQtClipboard::Close() {
  if (pending_ && QGuiApplication::clipboard())
    QGuiApplication::clipboard()->setMimeData(pending_.release(), mode_);
  pending_.reset();
}

bool TQtClipboard::GetData(const std::string& mime, std::vector<std::uint8_t>& data) {
  data.clear();
  if (mime == kVlMimePng && !VlClipboardCodecs().decodePng)
    return false;
  QClipboard* cb = QGuiApplication::clipboard();
  const QMimeData* md = cb ? cb->mimeData(mode_) : nullptr;
  const QString type = QString::fromStdString(mime);
  if (!md || !md->hasFormat(type))
    return false;
  const QByteArray bytes = md->data(type);
  if (bytes.isEmpty() || bytes.size() > kMaxBlock)
    return false;
  data.assign(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
              reinterpret_cast<const std::uint8_t*>(bytes.constData()) + bytes.size());
  return true;
}

