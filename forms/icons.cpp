#include "icons.h"

#include <QIconEngine>
#include <QPaintDevice>
#include <QPainter>
#include <algorithm>
#include <vector>

#include "application_identity.h"
#include "icon_pictures.h"

namespace {

// Every ":/icons/<stem>-<side>.png" the resources hold, read one at a time as sizes are drawn.
// What is read goes into a plain QIcon, which picks among what it holds as it would among all:
// the smallest picture at least as large as the size asked for, else the largest.
class PicturesEngine final : public QIconEngine {
  public:
    explicit PicturesEngine(const char* stem) : stem_(QString::fromLatin1(stem)) {
        for (const IconPicture& picture : icon_pictures)
            if (stem_ == QLatin1String(picture.stem)) sides_.push_back(picture.side);
        std::sort(sides_.begin(), sides_.end());
        read_.assign(sides_.size(), false);
    }

    QIconEngine* clone() const override { return new PicturesEngine(*this); }
    QString key() const override { return QStringLiteral("KestrunPictures"); }
    bool isNull() override { return sides_.empty(); }

    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        QList<QSize> sizes;
        // Only the normal pictures are stored; the others are made from them.
        if (mode != QIcon::Normal || state != QIcon::Off) return sizes;
        for (const int side : sides_) sizes.push_back(QSize(side, side));
        return sizes;
    }

    // The pictures are square: the size is known without reading one.
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        if (sides_.empty()) return {};
        const int side = sides_[suited(size)];
        QSize actual(side, side);
        if (side > size.width() || side > size.height()) actual.scale(size, Qt::KeepAspectRatio);
        return actual;
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return read_for(size).pixmap(size, mode, state);
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal scale =
            painter->device() != nullptr ? painter->device()->devicePixelRatio() : 1;
        read_for(rect.size() * scale).paint(painter, rect, Qt::AlignCenter, mode, state);
    }

  private:
    // The index of the picture that suits a size: the smallest at least as large, else the
    // largest. Only where there is a picture.
    std::size_t suited(const QSize& size) const {
        const int wanted = std::max(size.width(), size.height());
        const auto suits = std::lower_bound(sides_.begin(), sides_.end(), wanted);
        return suits != sides_.end() ? std::size_t(suits - sides_.begin()) : sides_.size() - 1;
    }

    const QIcon& read_for(const QSize& size) {
        if (sides_.empty()) return read_icon_;
        const std::size_t at = suited(size);
        if (!read_[at]) {
            const int side = sides_[at];
            read_icon_.addFile(
                QStringLiteral(":/icons/%1-%2.png").arg(stem_, QString::number(side)),
                QSize(side, side));
            read_[at] = true;
        }
        return read_icon_;
    }

    QString stem_;
    std::vector<int> sides_;  // ascending
    std::vector<bool> read_;  // per side
    QIcon read_icon_;
};

}  // namespace

// Outside the unnamed namespace: the resource initialiser it declares is the library's.
static QIcon pictures(const char* stem) {
    Q_INIT_RESOURCE(kestrun);
    return QIcon(new PicturesEngine(stem));
}

QIcon application_icon() {
    return pictures("kestrun");
}

QIcon tray_icon() {
    return application_icon();
}

QIcon themed_tray_icon() {
    // Qt's StatusNotifierItem sends QIcon::name() as IconName, which only a theme icon has.
    return QIcon::fromTheme(QString::fromLatin1(platform::application_id), QIcon());
}

QIcon disabled_icon() {
    return pictures("kestrun-disabled");
}
