#pragma once
#include <QColor>
#include <QFlags>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTableView>
#include <functional>

class QPainter;
class TDrawGrid2Model;
class TDrawGrid2Header;

// Separates the lines of a multi-line cell text or title.
inline constexpr QChar mtlCharSepar = u'\t';

// Multi-line text (lines separated by mtlCharSepar) in a cell, the block centred vertically:
// each line left-aligned 3 pixels in (Y), or each line centred horizontally (XY).
void SpecTextOutYmtl(const QRect& R, QPainter& Canvas, const QString& Text);
void SpecTextOutXYmtl(const QRect& R, QPainter& Canvas, const QString& Text);

enum TGridDrawStateFlag { gdSelected = 0x1, gdFocused = 0x2, gdFixed = 0x4 };
Q_DECLARE_FLAGS(TGridDrawState, TGridDrawStateFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TGridDrawState)

class TDrawGrid2;
// Rows count from the title row, 0; data rows are 1 to RowCount - 1.
using TGetColor = std::function<void(TDrawGrid2* Sender, int ACol, int ARow, TGridDrawState AState, QColor& TextColor, QColor& BkColor)>;
using TGetText = std::function<QString(TDrawGrid2* Sender, int ACol, int ARow)>;
using TDrawCellEvent = std::function<void(TDrawGrid2* Sender, int ACol, int ARow, const QRect& Rect, TGridDrawState AState, QPainter& Canvas)>;

// A grid whose row 0 holds the column titles (several TAB-separated lines each, with hints) and
// whose owner supplies each data cell's text and colours on demand. The view asks only for the
// cells in sight, so a grid of 100,000 rows costs a screenful per repaint and stores no text.
class TDrawGrid2 : public QTableView {
    Q_OBJECT
public:
    explicit TDrawGrid2(QWidget* parent = nullptr);
    ~TDrawGrid2() override;

    // Setting the titles makes the grid as many columns wide and sizes the title row.
    const QStringList& Titles() const { return FTitles; }
    void SetTitles(const QStringList& value);
    // Shown as the title's tool tip, a TAB starting a new line.
    const QStringList& TitleHints() const { return FTitleHints; }
    void SetTitleHints(const QStringList& value);
    bool TitlesAutoSize() const { return FTitlesAutoSize; }
    void SetTitlesAutoSize(bool value) { FTitlesAutoSize = value; }
    // Fits the grid's height to its rows whenever it is resized.
    bool YAutoScale() const { return FYAutoScale; }
    void SetYAutoScale(bool value);
    // Off: cells are left to OnDrawCell alone.
    bool DefaultDrawing() const { return FDefaultDrawing; }
    void SetDefaultDrawing(bool value);

    // Rows including the title row (at least 1).
    int RowCount() const;
    void SetRowCount(int value);
    int ColCount() const;
    void SetColCount(int value);
    int ColWidth(int col) const;
    void SetColWidth(int col, int width);
    int DefaultColWidth() const;
    void SetDefaultColWidth(int width);
    // Row 0 is the title row.
    int RowHeight(int row) const;
    int DefaultRowHeight() const;
    void SetDefaultRowHeight(int height);
    int GridLineWidth() const;
    // Lets the user drag the column borders.
    bool ColSizing() const { return FColSizing; }
    void SetColSizing(bool value);
    // The grid's own background: a cell whose OnGetColor leaves it so is not filled.
    QColor Color() const;

    // Height of the title row from its tallest title.
    virtual void ComputeSizes();
    virtual qint64 OptimalWidth() const;
    virtual qint64 OptimalHeight() const;

    // A refresh tick: the rows in sight are drawn again with fresh texts.
    void RefreshVisibleRows();
    // Everything in sight is drawn again, titles included.
    void Invalidate();

    TGetColor OnGetColor;
    TGetText OnGetText;
    TDrawCellEvent OnDrawCell;

    // The text a data cell (ARow >= 1) shows: OnGetText's, or nothing.
    virtual QString CellText(int ACol, int ARow);
    // Draws one cell: colours, text (titles in row 0), then OnDrawCell.
    virtual void DrawCell(int ACol, int ARow, const QRect& Rect, TGridDrawState AState, QPainter& Canvas);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void TitlesChange();
    void ApplyYAutoScale();
    // OnGetColor's choice for the cell; the defaults are the font colour and Color().
    void CellColors(int ACol, int ARow, TGridDrawState AState, QColor& TextColor, QColor& BkColor);

    QStringList FTitles;
    QStringList FTitleHints;
    bool FTitlesAutoSize = true;
    bool FYAutoScale = false;
    bool FDefaultDrawing = true;
    bool FColSizing = false;
    TDrawGrid2Model* FModel;
    TDrawGrid2Header* FHeader;
};

// A two-column table of name=value items; row r shows item r - 1. Rows: items + 1, at least 2.
class TkxValueGrid : public TDrawGrid2 {
    Q_OBJECT
public:
    explicit TkxValueGrid(QWidget* parent = nullptr);

    const QStringList& Items() const { return FItems; }
    void SetItems(const QStringList& value);
    // The value of the first item of that name (names compare without regard to case).
    QString Value(const QString& name) const;
    // Sets the item's value, adding the item when missing; an empty value removes it.
    void SetValue(const QString& name, const QString& value);

    // The name (before the first "=") in column 0, the rest in column 1.
    QString CellText(int ACol, int ARow) override;

private:
    int IndexOfName(const QString& name) const;
    void OnItemsChange();

    QStringList FItems;
};
