#include "diagnostics/DrawGrid2.h"
#include "common/kxtools.h"
#include <QAbstractTableModel>
#include <QEvent>
#include <QHeaderView>
#include <QLayout>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>
#include <algorithm>

// ---- Text helpers ----

namespace {

// Draws the lines of Text one below the other, the block centred in R; xOf gives each line's
// x offset from R's left edge.
template <class TXOffset>
void TextOutLines(const QRect& R, QPainter& Canvas, const QString& Text, TXOffset xOf)
{
    const int n = SubStrCount(Text, mtlCharSepar);
    if (n == 0)
        return;
    const QFontMetrics metrics = Canvas.fontMetrics();
    const int h = metrics.height();
    const int top = SpecLoc(0, n * h, R.height());
    for (int i = 0; i < n; ++i) {
        const QString line = SubStrFromStr(Text, mtlCharSepar, i);
        Canvas.drawText(QPoint(R.left() + xOf(metrics, line), R.top() + top + i * h + metrics.ascent()), line);
    }
}

QString Multiline(const QString& text) { return ReplaceChar(text, mtlCharSepar, u'\n'); }

} // namespace

void SpecTextOutYmtl(const QRect& R, QPainter& Canvas, const QString& Text)
{
    TextOutLines(R, Canvas, Text, [](const QFontMetrics&, const QString&) { return 3; });
}

void SpecTextOutXYmtl(const QRect& R, QPainter& Canvas, const QString& Text)
{
    TextOutLines(R, Canvas, Text, [&R](const QFontMetrics& metrics, const QString& line) {
        return SpecLoc(0, metrics.horizontalAdvance(line), R.width());
    });
}

// ---- The grid's model, delegate and title row ----

// Holds only the counts; every text comes from the grid when the view asks for it.
class TDrawGrid2Model : public QAbstractTableModel {
public:
    explicit TDrawGrid2Model(TDrawGrid2* grid) : QAbstractTableModel(grid), FGrid(grid) {}

    int rowCount(const QModelIndex& parent = QModelIndex()) const override { return parent.isValid() ? 0 : FDataRows; }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override { return parent.isValid() ? 0 : FCols; }

    // Display text for the accessibility layer; the grid draws its cells itself.
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::AccessibleTextRole))
            return QVariant();
        return Multiline(FGrid->CellText(index.column(), index.row() + 1));
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || section < 0)
            return QVariant();
        const QStringList& texts = role == Qt::ToolTipRole ? FGrid->TitleHints() : FGrid->Titles();
        if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || section >= texts.size() || texts[section].isEmpty())
            return QVariant(); // no hint: the grid's own tool tip shows
        return Multiline(texts[section]);
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    void SetDataRows(int rows)
    {
        rows = std::max(rows, 0);
        if (rows > FDataRows) {
            beginInsertRows(QModelIndex(), FDataRows, rows - 1);
            FDataRows = rows;
            endInsertRows();
        } else if (rows < FDataRows) {
            beginRemoveRows(QModelIndex(), rows, FDataRows - 1);
            FDataRows = rows;
            endRemoveRows();
        }
    }

    void SetCols(int cols)
    {
        cols = std::max(cols, 0);
        if (cols > FCols) {
            beginInsertColumns(QModelIndex(), FCols, cols - 1);
            FCols = cols;
            endInsertColumns();
        } else if (cols < FCols) {
            beginRemoveColumns(QModelIndex(), cols, FCols - 1);
            FCols = cols;
            endRemoveColumns();
        }
    }

    void RowsChanged(int first, int last)
    {
        if (FCols > 0 && first <= last)
            Q_EMIT dataChanged(index(first, 0), index(last, FCols - 1));
    }

    void TitlesChanged()
    {
        if (FCols > 0)
            Q_EMIT headerDataChanged(Qt::Horizontal, 0, FCols - 1);
    }

private:
    TDrawGrid2* FGrid;
    int FDataRows = 0;
    int FCols = 0;
};

class TDrawGrid2Delegate : public QStyledItemDelegate {
public:
    explicit TDrawGrid2Delegate(TDrawGrid2* grid) : QStyledItemDelegate(grid), FGrid(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        TGridDrawState state;
        if (option.state & QStyle::State_Selected)
            state |= gdSelected;
        if (option.state & QStyle::State_HasFocus)
            state |= gdFocused;
        painter->save();
        painter->setClipRect(option.rect);
        FGrid->DrawCell(index.column(), index.row() + 1, option.rect, state, *painter);
        painter->restore();
    }

    // Rows and columns have set sizes; measuring a cell would ask for its text.
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        return QSize(FGrid->ColWidth(index.column()), FGrid->DefaultRowHeight());
    }

private:
    TDrawGrid2* FGrid;
};

// Row 0: the header's own section look, then the grid draws the title over it.
class TDrawGrid2Header : public QHeaderView {
public:
    explicit TDrawGrid2Header(TDrawGrid2* grid) : QHeaderView(Qt::Horizontal, grid), FGrid(grid) {}

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override
    {
        if (!rect.isValid())
            return;
        QStyleOptionHeader option;
        initStyleOption(&option);
        option.rect = rect;
        option.section = logicalIndex;
        style()->drawControl(QStyle::CE_HeaderSection, &option, painter, this);
        painter->save();
        painter->setClipRect(rect);
        painter->setFont(font());
        FGrid->DrawCell(logicalIndex, 0, rect, gdFixed, *painter);
        painter->restore();
    }

private:
    TDrawGrid2* FGrid;
};

// ---- TDrawGrid2 ----

TDrawGrid2::TDrawGrid2(QWidget* parent)
    : QTableView(parent), FModel(new TDrawGrid2Model(this)), FHeader(new TDrawGrid2Header(this))
{
    setObjectName(QStringLiteral("DrawGrid2"));
    setAccessibleName(QStringLiteral("DrawGrid2"));
    FHeader->setObjectName(QStringLiteral("Titles"));
    FHeader->setAccessibleName(QStringLiteral("Titles"));
    setHorizontalHeader(FHeader);
    setModel(FModel);
    setItemDelegate(new TDrawGrid2Delegate(this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    FHeader->setHighlightSections(false);
    FHeader->setSectionsClickable(false);
    FHeader->setMinimumSectionSize(1);
    FHeader->setDefaultSectionSize(64);
    FHeader->setFixedHeight(fontMetrics().height() + 4);
    // Rows of one fixed height keep the scrolling of a long table cheap.
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(std::max(24, fontMetrics().height() + 6));
    SetColSizing(false);
    SetColCount(5);
    SetRowCount(5);
}

TDrawGrid2::~TDrawGrid2() = default;

void TDrawGrid2::SetTitles(const QStringList& value)
{
    FTitles = value;
    TitlesChange();
}

void TDrawGrid2::SetTitleHints(const QStringList& value)
{
    FTitleHints = value;
    FModel->TitlesChanged();
}

void TDrawGrid2::TitlesChange()
{
    SetColCount(FTitles.size());
    ComputeSizes();
    FModel->TitlesChanged();
    Invalidate();
}

void TDrawGrid2::SetYAutoScale(bool value)
{
    FYAutoScale = value;
    ApplyYAutoScale();
}

void TDrawGrid2::SetDefaultDrawing(bool value)
{
    FDefaultDrawing = value;
    Invalidate();
}

int TDrawGrid2::RowCount() const { return FModel->rowCount() + 1; }
void TDrawGrid2::SetRowCount(int value) { FModel->SetDataRows(std::max(value, 1) - 1); }
int TDrawGrid2::ColCount() const { return FModel->columnCount(); }
void TDrawGrid2::SetColCount(int value) { FModel->SetCols(value); }
int TDrawGrid2::ColWidth(int col) const { return FHeader->sectionSize(col); }
void TDrawGrid2::SetColWidth(int col, int width) { FHeader->resizeSection(col, width); }
int TDrawGrid2::DefaultColWidth() const { return FHeader->defaultSectionSize(); }
void TDrawGrid2::SetDefaultColWidth(int width) { FHeader->setDefaultSectionSize(width); }
int TDrawGrid2::RowHeight(int row) const { return row == 0 ? FHeader->height() : rowHeight(row - 1); }
int TDrawGrid2::DefaultRowHeight() const { return verticalHeader()->defaultSectionSize(); }
void TDrawGrid2::SetDefaultRowHeight(int height) { verticalHeader()->setDefaultSectionSize(height); }
int TDrawGrid2::GridLineWidth() const { return showGrid() ? 1 : 0; }
void TDrawGrid2::SetColSizing(bool value)
{
    FColSizing = value;
    FHeader->setSectionResizeMode(value ? QHeaderView::Interactive : QHeaderView::Fixed);
}

QColor TDrawGrid2::Color() const { return palette().color(QPalette::Base); }

void TDrawGrid2::ComputeSizes()
{
    if (FTitles.isEmpty())
        return;
    const int lineHeight = FHeader->fontMetrics().height();
    int height = 0;
    for (const QString& title : FTitles)
        height = std::max(height, lineHeight * SubStrCount(title, mtlCharSepar));
    if (height == 0)
        height = 20; // no column has a title: the height of a plain grid row
    FHeader->setFixedHeight(height + 4);
}

qint64 TDrawGrid2::OptimalWidth() const
{
    return qint64(FHeader->length()) + qint64(ColCount() + 1) * GridLineWidth();
}

qint64 TDrawGrid2::OptimalHeight() const
{
    return qint64(RowHeight(0)) + verticalHeader()->length() + qint64(RowCount() + 1) * GridLineWidth();
}

void TDrawGrid2::RefreshVisibleRows()
{
    const int first = rowAt(0);
    if (first < 0)
        return;
    int last = rowAt(viewport()->height() - 1);
    if (last < 0)
        last = FModel->rowCount() - 1;
    FModel->RowsChanged(first, last);
}

void TDrawGrid2::Invalidate()
{
    viewport()->update();
    FHeader->viewport()->update();
}

QString TDrawGrid2::CellText(int ACol, int ARow) { return OnGetText ? OnGetText(this, ACol, ARow) : QString(); }

void TDrawGrid2::CellColors(int ACol, int ARow, TGridDrawState AState, QColor& TextColor, QColor& BkColor)
{
    TextColor = palette().color(QPalette::Text);
    BkColor = Color();
    if (OnGetColor)
        OnGetColor(this, ACol, ARow, AState, TextColor, BkColor);
}

void TDrawGrid2::DrawCell(int ACol, int ARow, const QRect& Rect, TGridDrawState AState, QPainter& Canvas)
{
    if (FDefaultDrawing) {
        QColor textColor, bkColor;
        CellColors(ACol, ARow, AState, textColor, bkColor);
        const bool selected = ARow > 0 && AState.testFlag(gdSelected);
        // The cell keeps the look it has (background, title section, selection) unless the
        // owner chose another background.
        if (bkColor != Color())
            Canvas.fillRect(Rect, bkColor);
        else if (selected)
            Canvas.fillRect(Rect, palette().brush(QPalette::Highlight));
        QColor pen = textColor;
        if (textColor == palette().color(QPalette::Text))
            pen = ARow == 0 ? palette().color(QPalette::ButtonText) : selected ? palette().color(QPalette::HighlightedText) : textColor;
        Canvas.setPen(pen);
        if (ARow == 0) {
            if (ACol < FTitles.size())
                SpecTextOutXYmtl(Rect, Canvas, FTitles[ACol]);
        } else {
            SpecTextOutYmtl(Rect, Canvas, CellText(ACol, ARow));
        }
    }
    if (OnDrawCell)
        OnDrawCell(this, ACol, ARow, Rect, AState, Canvas);
}

void TDrawGrid2::resizeEvent(QResizeEvent* event)
{
    QTableView::resizeEvent(event);
    ApplyYAutoScale();
}

void TDrawGrid2::changeEvent(QEvent* event)
{
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        ComputeSizes();
}

void TDrawGrid2::ApplyYAutoScale()
{
    if (!FYAutoScale)
        return;
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    qint64 h = OptimalHeight();
    if (OptimalWidth() + 2 > width())
        h += scrollBar;
    const qint64 newHeight = h + 3;
    if (newHeight > qint64(height()) + scrollBar)
        return;
    // In a layout the height is the layout's to set: the grid only refuses to grow past its rows.
    const QWidget* owner = parentWidget();
    if (owner && owner->layout() && owner->layout()->indexOf(this) >= 0)
        setMaximumHeight(int(newHeight));
    else
        resize(width(), int(newHeight));
}

// ---- TkxValueGrid ----

TkxValueGrid::TkxValueGrid(QWidget* parent) : TDrawGrid2(parent)
{
    setObjectName(QStringLiteral("kxValueGrid"));
    setAccessibleName(QStringLiteral("kxValueGrid"));
    SetTitles({QStringLiteral("Property"), QStringLiteral("Value")});
    SetColSizing(true);
    OnItemsChange();
}

void TkxValueGrid::SetItems(const QStringList& value)
{
    FItems = value;
    OnItemsChange();
}

int TkxValueGrid::IndexOfName(const QString& name) const
{
    for (int i = 0; i < FItems.size(); ++i) {
        const qsizetype separator = FItems[i].indexOf(u'=');
        if (separator >= 0 && QStringView(FItems[i]).left(separator).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString TkxValueGrid::Value(const QString& name) const
{
    const int i = IndexOfName(name);
    return i < 0 ? QString() : FItems[i].mid(FItems[i].indexOf(u'=') + 1);
}

void TkxValueGrid::SetValue(const QString& name, const QString& value)
{
    const int i = IndexOfName(name);
    if (value.isEmpty()) {
        if (i < 0)
            return;
        FItems.removeAt(i);
    } else if (i < 0) {
        FItems.append(name + u'=' + value);
    } else {
        FItems[i] = name + u'=' + value;
    }
    OnItemsChange();
}

QString TkxValueGrid::CellText(int ACol, int ARow)
{
    if (ARow < 1 || ARow > FItems.size() || ACol > 1)
        return QString();
    const QString& item = FItems[ARow - 1];
    const qsizetype separator = item.indexOf(u'=');
    if (separator < 0)
        return ACol == 0 ? item : QString();
    return ACol == 0 ? item.left(separator) : item.mid(separator + 1);
}

void TkxValueGrid::OnItemsChange()
{
    if (FItems.size() + 1 != RowCount())
        SetRowCount(std::max(int(FItems.size()) + 1, 2));
    RefreshVisibleRows();
}
