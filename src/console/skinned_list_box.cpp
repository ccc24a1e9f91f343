#include "console/skinned_list_box.h"

#include <QAbstractItemDelegate>
#include <QAbstractListModel>
#include <QApplication>
#include <QPainter>
#include <QScrollBar>
#include <vector>

namespace rureza {

class LogListModel : public QAbstractListModel {
 public:
  explicit LogListModel(QObject* parent) : QAbstractListModel(parent) {}

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount({})) return {};
    return rows_[static_cast<size_t>(index.row())];
  }

  void Append(const QStringList& lines) {
    if (lines.isEmpty()) return;
    const int first = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
    rows_.insert(rows_.end(), lines.begin(), lines.end());
    endInsertRows();
  }
  void Clear() {
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    endResetModel();
  }
  const QString& Row(int row) const { return rows_[static_cast<size_t>(row)]; }

 private:
  std::vector<QString> rows_;
};

namespace {

// Paints each row from its state, on every repaint alike: selected rows in the selection
// colour, the selected row with the keyboard focus also with a raised frame.
class RowDelegate : public QAbstractItemDelegate {
 public:
  explicit RowDelegate(CSkinnedListBox* list) : QAbstractItemDelegate(list), list_(list) {}

  void paint(QPainter* p, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const QRect r = option.rect;
    QColor textColor = list_->TextColor();
    if (option.state & QStyle::State_Selected) {
      p->fillRect(r, list_->SelectionColor());
      if (option.state & QStyle::State_HasFocus) {
        p->setPen(Qt::white);
        p->drawLine(r.topLeft(), r.topRight());
        p->drawLine(r.topLeft(), r.bottomLeft());
        p->setPen(Qt::black);
        p->drawLine(r.bottomLeft(), r.bottomRight());
        p->drawLine(r.topRight(), r.bottomRight());
        textColor = list_->SelectedTextColor();
      }
    } else {
      p->fillRect(r, list_->BackgroundColor());
    }
    p->setPen(textColor);
    p->setFont(option.font);
    p->drawText(r.adjusted(5, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                index.data(Qt::DisplayRole).toString());
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    return QSize(option.rect.width(), CSkinnedListBox::kRowHeight);
  }

 private:
  CSkinnedListBox* list_;
};

}  // namespace

CSkinnedListBox::CSkinnedListBox(QWidget* parent)
    : QListView(parent),
      model_(new LogListModel(this)),
      background_(QApplication::palette().color(QPalette::Base)),
      selection_(QApplication::palette().color(QPalette::Highlight)),
      text_(QApplication::palette().color(QPalette::WindowText)),
      selectedText_(QApplication::palette().color(QPalette::HighlightedText)) {
  setModel(model_);
  setItemDelegate(new RowDelegate(this));
  setUniformItemSizes(true);
  setSelectionMode(QAbstractItemView::MultiSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  viewport()->setAutoFillBackground(true);
  // New lines scroll into view, as in a terminal, unless the operator has scrolled up to read.
  QScrollBar* bar = verticalScrollBar();
  connect(bar, &QScrollBar::valueChanged, this,
          [this, bar](int value) { following_ = value >= bar->maximum(); });
  connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
    if (maximum == 0) following_ = true;  // every line in view (an emptied list, too)
    if (following_) bar->setValue(maximum);
  });
}

void CSkinnedListBox::AddString(const QString& line) { model_->Append(QStringList{line}); }

void CSkinnedListBox::AddStrings(const QStringList& lines) { model_->Append(lines); }

void CSkinnedListBox::ResetContent() { model_->Clear(); }

int CSkinnedListBox::GetCount() const { return model_->rowCount({}); }

QString CSkinnedListBox::GetText(int row) const {
  return row >= 0 && row < GetCount() ? model_->Row(row) : QString();
}

void CSkinnedListBox::SetBackgroundColors(const QColor& background, const QColor& selection) {
  background_ = background;
  selection_ = selection;
  QPalette palette = viewport()->palette();
  palette.setColor(QPalette::Base, background);
  viewport()->setPalette(palette);
  viewport()->update();
}

void CSkinnedListBox::SetTextColors(const QColor& text, const QColor& selectedText) {
  text_ = text;
  selectedText_ = selectedText;
  viewport()->update();
}

}  // namespace rureza
