// ScanPreviewControl: the growing grid of page previews shown during a scan.
#include "ScanPreviewControl.h"

#include <algorithm>

#include <QBuffer>
#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScrollArea>
#include <QScrollBar>
#include <cmath>
#include <set>

QColor ScanPreviewControl::backgroundColor() { return QColor::fromRgbF(0.72f, 0.72f, 0.72f, 1.0f); }

// ---------------------------------------------------------------------------
// ScanPreviewCell

void ScanPreviewCell::clearImage() {
  const bool hadImages = !images.empty();
  images.clear();
  if (hadImages && mControlView) mControlView->update();
}

void ScanPreviewCell::keepPages(int first, int count) {
  const int n = int(images.size());
  first = std::clamp(first, 0, n);
  count = std::clamp(count, 0, n - first);
  if (first == 0 && count == n) return;
  images.erase(images.begin() + first + count, images.end());
  images.erase(images.begin(), images.begin() + first);
  if (mControlView) mControlView->update();
}

void ScanPreviewCell::appendScanPreview(const QImage& image) {
  images.push_back(Page{image, QByteArray(), image.size()});
  packOlderPages();
  if (!mControlView) return;
  const int index = int(images.size()) - 1;
  mControlView->update(rectForPage(index).toAlignedRect());
  // A page that opens a new row of a multi-column grid also brings the
  // empty cells to its right into view.
  if (int(images.size()) % mNumCols == 1) {
    for (int i = 1; i < mNumCols; ++i) mControlView->update(rectForPage(index + i).toAlignedRect());
  }
}

void ScanPreviewCell::packOlderPages() {
  // Two screens' worth of pages before the newest keep their pixels: those
  // are the ones drawn while the scan runs.
  const int keep = 2 * mNumCols * mNumRows + 2;
  const int index = int(images.size()) - 1 - keep;
  if (index < 0) return;
  Page& page = images[size_t(index)];
  if (page.image.isNull()) return;
  QBuffer buffer(&page.packed);
  buffer.open(QIODevice::WriteOnly);
  // Quality 80 asks the PNG writer for fast compression; previews of paper
  // are mostly white and shrink well even so.
  if (page.image.save(&buffer, "PNG", 80))
    page.image = QImage();
  else
    page.packed.clear();
}

int ScanPreviewCell::packedPageCount() const {
  int n = 0;
  for (const Page& p : images) n += p.image.isNull() ? 1 : 0;
  return n;
}

QImage ScanPreviewCell::pageImage(int index) const {
  if (index < 0 || index >= int(images.size())) return QImage();
  const Page& page = images[size_t(index)];
  return page.image.isNull() ? QImage::fromData(page.packed, "PNG") : page.image;
}

void ScanPreviewCell::setGridByImageWidth(int16_t width, int16_t height) {
  const double cellW = double(width) + 3;
  const double cellH = double(height) + 3;
  // A frame smaller than the margins would divide by zero or less; such a
  // grid has one column and one row.
  mNumCols = cellW > 0 ? int(std::floor(mViewableSize.width() / cellW)) : 1;
  mNumRows = cellH > 0 ? int(std::floor(mViewableSize.height() / cellH)) : 1;
  if (mNumCols < 1) mNumCols = 1;
  if (mNumRows < 1) mNumRows = 1;
  adjustSizes();
}

void ScanPreviewCell::setViewableSize(const QSizeF& size) {
  mViewableSize = size;
  adjustSizes();
}

void ScanPreviewCell::adjustSizes() {
  const double vw = mViewableSize.width();
  const double vh = mViewableSize.height();
  const int n = int(images.size());
  mPageSize = QSizeF(std::floor(vw / mNumCols), std::floor(vh / mNumRows));
  const int rowsInUse = n > 0 ? (n + mNumCols - 1) / mNumCols : 0;
  double cellHeight = rowsInUse * mPageSize.height();
  const int s = int(vw - mNumCols * mPageSize.width());
  mLeftPad = s / 2;
  mRightPad = s - mLeftPad;
  const int t = int(vh - mNumRows * mPageSize.height());
  mTopPad = t / 2;
  if (cellHeight < vh) {
    mBottomPad = int(vh + 1 - cellHeight - mTopPad);
    cellHeight = vh;
  } else {
    mBottomPad = t - mTopPad;
    cellHeight += t;
  }
  mCellSize = QSizeF(vw, cellHeight);
}

int ScanPreviewCell::colForPos(double x) const {
  if (mPageSize.width() <= 0) return 0;
  return int((x - mLeftPad) / mPageSize.width());
}

int ScanPreviewCell::rowForPos(double y) const {
  if (mPageSize.height() <= 0) return 0;
  return int((y - mTopPad) / mPageSize.height());
}

QRectF ScanPreviewCell::rectForPage(int index) const {
  const double x = (index % mNumCols) * mPageSize.width() + mLeftPad;
  const double y = (index / mNumCols) * mPageSize.height() + mTopPad;
  return QRectF(QPointF(x, y), mPageSize);
}

QPointF ScanPreviewCell::scrollPosForRow(int row) const {
  double y = row * mPageSize.height();
  if (y < 0) y = 0;
  return QPointF(0, y);
}

QRectF ScanPreviewCell::adjustToControlScroll(const QRectF& proposed) const {
  QRectF out = proposed;
  out.moveTopLeft(scrollPosForRow(rowForPos(proposed.y())));
  return out;
}

int ScanPreviewCell::scrollPosForEnd() const { return int(mCellSize.height() - mTopPad - mBottomPad); }

void ScanPreviewCell::drawWithFrame(QPainter& painter, const std::vector<QRect>& rects) const {
  const QColor gray = ScanPreviewControl::backgroundColor();
  if (images.empty()) {
    painter.fillRect(QRectF(QPointF(0, 0), mViewableSize), gray);
    return;
  }
  // Margins around the grid belong to no page; they are painted here so
  // that an opaque widget leaves nothing undrawn.
  for (const QRect& r : rects) painter.fillRect(r, gray);
  std::set<int> pages;
  for (const QRect& r : rects) {
    // The end column and row are those holding the rectangle's last pixel,
    // so a rectangle that lies inside one page (an expose that is not
    // aligned to the grid) still draws that page.
    const int col0 = std::max(0, colForPos(r.left()));
    const int col1 = colForPos(r.left() + r.width() - 0.5) + 1;
    const int row0 = std::max(0, rowForPos(r.top()));
    const int row1 = rowForPos(r.top() + r.height() - 0.5) + 1;
    for (int row = row0; row < row1; ++row)
      for (int col = col0; col < std::min(col1, mNumCols); ++col) pages.insert(col + row * mNumCols);
  }
  for (int index : pages) drawPage(painter, index);
}

QRect ScanPreviewCell::imageRectForPage(int index) const {
  if (index < 0 || index >= int(images.size())) return QRect();
  const QRectF cell = rectForPage(index);
  double ax = cell.x(), ay = cell.y(), aw = cell.width(), ah = cell.height();
  if (mNumCols > 1) aw -= 3;
  if (mNumRows > 1) {
    ay += 3;
    ah -= 3;
  }
  const int areaW = int(aw);
  const int areaH = int(ah);
  int w = images[size_t(index)].size.width();
  int h = images[size_t(index)].size.height();
  // A preview made for a double-density screen is twice the area in pixels:
  // it is shown at half its pixel size, its size in points.
  if (w > areaW || h > areaH) {
    w /= 2;
    h /= 2;
  }
  const int x = int(ax) + (areaW - w) / 2;
  const int y = int(ay) + (areaH - h) / 2;
  return QRect(x, y, w, h);
}

void ScanPreviewCell::drawPage(QPainter& painter, int index) const {
  const QColor gray = ScanPreviewControl::backgroundColor();
  const QRectF cell = rectForPage(index);
  if (index >= int(images.size())) {
    painter.fillRect(cell, gray);
    return;
  }
  const QRect target = imageRectForPage(index);
  QRegion around(cell.toAlignedRect());
  around -= target;
  for (const QRect& r : around) painter.fillRect(r, gray);
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.drawImage(target, pageImage(index));
  painter.restore();
}

// ---------------------------------------------------------------------------
// ScanPreviewControl

ScanPreviewControl::ScanPreviewControl(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::ClickFocus);
  mCell.setControlView(this);
  mOrigClipFrm = geometry();
}

QSize ScanPreviewControl::adjustedPreviewSize() {
  const int w = width() - 6;
  const int h = int((height() - 10) * 0.5);
  setGridByImageWidth(int16_t(w), int16_t(h));
  const double scale = devicePixelRatioF();
  return QSize(int(std::lround(w * scale)), int(std::lround(h * scale)));
}

void ScanPreviewControl::clearImage() {
  mCell.clearImage();
  adjustContentViewSize();
}

void ScanPreviewControl::keepPages(int first, int count) {
  mCell.keepPages(first, count);
  adjustContentViewSize();
  scrollToY(mCell.scrollPosForEnd());
}

void ScanPreviewControl::appendScanPreview(const QImage& image) {
  mCell.appendScanPreview(image);
  adjustContentViewSize();
  scrollToY(mCell.scrollPosForEnd());
  // Every second page is drawn at once; the others wait for the next
  // display cycle, which keeps a fast scanner from redrawing on every page.
  if (mCell.pageCount() % 2 == 0) repaint();
}

void ScanPreviewControl::setGridByImageWidth(int16_t width, int16_t height) {
  mCell.setGridByImageWidth(width, height);
  adjustContentViewSize();
}

bool ScanPreviewControl::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::ParentChange) adjustToSuperviewSize();
  return handled;
}

bool ScanPreviewControl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == mClipVw && event->type() == QEvent::Resize) adjustToSuperviewSize();
  return QWidget::eventFilter(watched, event);
}

void ScanPreviewControl::adjustToSuperviewSize() {
  QWidget* clip = parentWidget();
  QScrollArea* scroll = clip ? qobject_cast<QScrollArea*>(clip->parentWidget()) : nullptr;
  if (!scroll) clip = nullptr;
  if (clip != mClipVw) {
    if (mClipVw) mClipVw->removeEventFilter(this);
    if (mScrollVw) disconnect(mScrollVw->verticalScrollBar(), nullptr, this, nullptr);
    mScrollVw = scroll;
    mClipVw = clip;
    if (mClipVw) {
      mClipVw->installEventFilter(this);
      // The previews are made exactly as wide as the strip: a vertical
      // scroll bar that came and went would change the strip's width under
      // them, so it is always there, and nothing scrolls sideways.
      mScrollVw->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      mScrollVw->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      mScrollVw->setWidgetResizable(false);
      connect(mScrollVw->verticalScrollBar(), &QScrollBar::valueChanged, this, &ScanPreviewControl::snapScroll);
    }
  }
  if (!mClipVw) return;
  mOrigClipFrm = mClipVw->geometry();
  adjustContentViewSize();
}

void ScanPreviewControl::adjustContentViewSize() {
  mCell.setViewableSize(mOrigClipFrm.size());
  if (!mScrollVw) {
    const QSize want = mCell.cellSize().toSize();
    if (want != size()) resize(want);
    return;
  }
  QScrollBar* bar = mScrollVw->verticalScrollBar();
  bar->setSingleStep(std::max(1, mCell.pageHeight()));
  const QSize want = mCell.cellSize().toSize();
  if (want != size()) {
    resize(want);
    // The scroll area follows the new size on its own once the resize
    // event arrives; the range is set now so that a scroll made right away
    // already reaches the end.
    mSettingScroll = true;
    bar->setRange(0, std::max(0, want.height() - mClipVw->height()));
    bar->setPageStep(mClipVw->height());
    mSettingScroll = false;
  }
}

void ScanPreviewControl::scrollToY(int y) {
  if (!mScrollVw) return;
  mSettingScroll = true;
  mScrollVw->verticalScrollBar()->setValue(y);
  mSettingScroll = false;
}

void ScanPreviewControl::snapScroll(int value) {
  if (mSettingScroll || !mClipVw) return;
  const QRectF proposed(0, value, mClipVw->width(), mClipVw->height());
  const int snapped = int(adjustScroll(proposed).y());
  if (snapped != value) scrollToY(snapped);
}

void ScanPreviewControl::paintEvent(QPaintEvent* event) {
  ++mPaintCount;
  QPainter painter(this);
  std::vector<QRect> rects;
  for (const QRect& r : event->region()) rects.push_back(r);
  mCell.drawWithFrame(painter, rects);
}
