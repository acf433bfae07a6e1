// The preview grid of the scan window: a vertical strip of page images inside
// a scroll area, the newest page scrolled into view.
//
// ScanPreviewCell owns the page images and does the layout arithmetic and the
// drawing; ScanPreviewControl is the widget placed in a QScrollArea (as the
// scroll area's widget, so the area's viewport is the visible part). Before a
// scan the controller asks adjustedPreviewSize() for the size the previews
// should have, in device pixels; the grid then holds one column that is as
// wide as the strip and about two pages high.
//
// Layout is in logical pixels (points); a preview rendered for a
// double-density screen is twice its cell's size in pixels and is drawn at
// half its pixel size.
//
// Every page stays in the grid until the next scan, so that the user can
// scroll back to it. The pages near the newest keep their pixels; older ones
// are kept PNG-compressed and decoded when drawn, so a long scan does not
// hold hundreds of full previews.
//
// Thread-bound: everything runs on the GUI thread.
#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <cstdint>
#include <vector>

class QScrollArea;
class QPainter;

class ScanPreviewCell {
 public:
  ScanPreviewCell() = default;

  // The widget that shows the cell; invalidations go to it. May be null.
  void setControlView(QWidget* view) { mControlView = view; }

  void clearImage();
  // Keeps the `count` pages from `first` on and drops the others.
  void keepPages(int first, int count);
  // Appends a page and marks its cell (and, when it opens a new row of a
  // multi-column grid, the rest of that row) as needing display.
  void appendScanPreview(const QImage& image);
  void setGridByImageWidth(int16_t width, int16_t height);
  void setViewableSize(const QSizeF& size);
  void adjustSizes();

  int colForPos(double x) const;
  int rowForPos(double y) const;
  QRectF rectForPage(int index) const;
  QSizeF cellSize() const { return mCellSize; }
  QPointF scrollPosForRow(int row) const;
  QRectF adjustToControlScroll(const QRectF& proposed) const;
  int pageHeight() const { return int(mPageSize.height()); }
  int scrollPosForEnd() const;
  int pageCount() const { return int(images.size()); }
  // Pages kept compressed.
  int packedPageCount() const;
  // The page's image (decoded when it is kept compressed).
  QImage pageImage(int index) const;

  // Draws the pages that meet the given rectangles, each once.
  void drawWithFrame(QPainter& painter, const std::vector<QRect>& rects) const;
  void drawPage(QPainter& painter, int index) const;

  int numCols() const { return mNumCols; }
  int numRows() const { return mNumRows; }
  QSizeF pageSize() const { return mPageSize; }
  QSizeF viewableSize() const { return mViewableSize; }
  int leftPad() const { return mLeftPad; }
  int rightPad() const { return mRightPad; }
  int topPad() const { return mTopPad; }
  int bottomPad() const { return mBottomPad; }
  // The rectangle (in the control's coordinates) where page `index` is drawn.
  QRect imageRectForPage(int index) const;

 private:
  struct Page {
    QImage image;       // null once packed
    QByteArray packed;  // PNG of the image, for pages far from the newest
    QSize size;
  };
  void packOlderPages();

  std::vector<Page> images;
  int mNumCols = 1;
  int mNumRows = 1;
  QSizeF mViewableSize;
  QSizeF mPageSize;
  QSizeF mCellSize;
  int mLeftPad = 0;
  int mRightPad = 0;
  int mTopPad = 0;
  int mBottomPad = 0;
  QWidget* mControlView = nullptr;
};

class ScanPreviewControl : public QWidget {
  Q_OBJECT
 public:
  explicit ScanPreviewControl(QWidget* parent = nullptr);

  // Preview size for the next scan in device pixels; sets the grid.
  QSize adjustedPreviewSize();
  void clearImage();
  // Keeps the `count` pages from `first` on (the pages a file holds, when
  // the scan showed more) and drops the others.
  void keepPages(int first, int count);
  void appendScanPreview(const QImage& image);
  void setGridByImageWidth(int16_t width, int16_t height);
  int pageCount() const { return mCell.pageCount(); }

  // The proposed visible rectangle moved to the top of its row, so that
  // scrolling stops at row boundaries only.
  QRectF adjustScroll(const QRectF& proposed) const { return mCell.adjustToControlScroll(proposed); }

  const ScanPreviewCell& cell() const { return mCell; }
  // Number of paint events handled; lets tests tell an immediate redraw
  // from one left to the next display cycle.
  int paintCount() const { return mPaintCount; }

  static QColor backgroundColor();

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void adjustToSuperviewSize();
  void adjustContentViewSize();
  void snapScroll(int value);
  void scrollToY(int y);

  ScanPreviewCell mCell;
  QScrollArea* mScrollVw = nullptr;
  QWidget* mClipVw = nullptr;
  QRect mOrigClipFrm;
  bool mSettingScroll = false;
  int mPaintCount = 0;
};
