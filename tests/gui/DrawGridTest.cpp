#include "diagnostics/DrawGrid2.h"
#include <QHeaderView>
#include <QImage>
#include <QPixmap>
#include <gtest/gtest.h>

namespace {

// The colour at the middle of a data cell (ARow >= 1) of a rendered grid.
QColor CellCentre(TDrawGrid2& grid, int ACol, int ARow)
{
    const QImage image = grid.grab().toImage();
    const QRect cell = grid.visualRect(grid.model()->index(ARow - 1, ACol));
    return image.pixelColor(grid.viewport()->mapTo(&grid, cell.center()));
}

} // namespace

// Setting titles makes the grid as wide as they are many; the title row is as high as its tallest title.
TEST(DrawGrid2, TitlesSetColumnsAndTitleRowHeight)
{
    TDrawGrid2 grid;
    const int line = grid.horizontalHeader()->fontMetrics().height();
    const struct {
        QStringList titles;
        int lines;
    } cases[] = {{{"A", "B", "C"}, 1}, {{"A", "Two\tlines", "C", "D"}, 2}, {{"Three\tline\ttitle"}, 3}};
    for (const auto& c : cases) {
        grid.SetTitles(c.titles);
        EXPECT_EQ(grid.ColCount(), c.titles.size());
        EXPECT_EQ(grid.RowHeight(0), line * c.lines + 4) << c.lines;
        EXPECT_EQ(grid.horizontalHeader()->height(), line * c.lines + 4);
    }
    grid.SetTitleHints({"First\thint"});
    EXPECT_EQ(grid.model()->headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString(), QStringLiteral("First\nhint"));
    EXPECT_FALSE(grid.model()->headerData(1, Qt::Horizontal, Qt::ToolTipRole).isValid());
}

// OnGetColor that leaves the grid's own background draws no fill: a selected cell stays highlighted.
TEST(DrawGrid2, OwnBackgroundColourCausesNoFill)
{
    TDrawGrid2 grid;
    grid.resize(400, 200);
    grid.SetTitles({"A", "B"});
    grid.SetRowCount(3);
    grid.setCurrentIndex(grid.model()->index(0, 0));
    const QColor highlight = grid.palette().color(QPalette::Highlight);
    QColor chosen;
    grid.OnGetColor = [&](TDrawGrid2*, int, int ARow, TGridDrawState, QColor&, QColor& BkColor) {
        if (ARow == 1)
            BkColor = chosen.isValid() ? chosen : grid.Color();
    };
    EXPECT_EQ(CellCentre(grid, 0, 1), highlight);
    EXPECT_EQ(CellCentre(grid, 1, 1), grid.Color());
    chosen = QColor(Qt::red);
    EXPECT_EQ(CellCentre(grid, 0, 1), QColor(Qt::red));
    EXPECT_EQ(CellCentre(grid, 1, 1), QColor(Qt::red));
}

// A grid of 100,000 rows asks only for the texts of the cells in sight, when drawn and when refreshed.
TEST(DrawGrid2, HugeGridAsksOnlyForVisibleCells)
{
    TDrawGrid2 grid;
    grid.resize(300, 400);
    grid.SetTitles({"Name", "Value"});
    grid.SetRowCount(100001);
    EXPECT_EQ(grid.model()->rowCount(), 100000); // the title row is the header
    int asked = 0, lastRow = 0;
    grid.OnGetText = [&](TDrawGrid2*, int ACol, int ARow) {
        ++asked;
        lastRow = std::max(lastRow, ARow);
        return QStringLiteral("%1:%2").arg(ACol).arg(ARow);
    };
    const int visibleCells = 2 * (400 / grid.DefaultRowHeight() + 1);
    grid.grab();
    EXPECT_GT(asked, 0);
    EXPECT_LE(asked, visibleCells);
    EXPECT_LE(lastRow, visibleCells / 2);
    grid.scrollToBottom();
    grid.RefreshVisibleRows();
    asked = 0;
    grid.grab();
    EXPECT_GT(asked, 0);
    EXPECT_LE(asked, visibleCells);
    EXPECT_EQ(lastRow, 100000);
}

// The value grid: two titled columns, rows for its items (at least 2), name and value split at the first "=".
TEST(kxValueGrid, ItemsMakeRowsAndSplitAtTheFirstEquals)
{
    TkxValueGrid grid;
    EXPECT_EQ(grid.Titles(), QStringList({"Property", "Value"}));
    EXPECT_EQ(grid.ColCount(), 2);
    EXPECT_EQ(grid.horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    EXPECT_EQ(grid.RowCount(), 2);
    grid.SetItems({"a=1", "b=x=y", "c=", "d=4", "no equals"});
    EXPECT_EQ(grid.RowCount(), 6);
    const struct {
        int row;
        QString name, value;
    } cells[] = {{1, "a", "1"}, {2, "b", "x=y"}, {3, "c", ""}, {5, "no equals", ""}, {6, "", ""}};
    for (const auto& c : cells) {
        EXPECT_EQ(grid.CellText(0, c.row), c.name) << c.row;
        EXPECT_EQ(grid.CellText(1, c.row), c.value) << c.row;
    }
    grid.SetItems({});
    grid.SetValue("Last Finished", "30.12.1899");
    EXPECT_EQ(grid.RowCount(), 2);
    grid.SetValue("last finished", "11.12.2026 13:00:00");
    EXPECT_EQ(grid.Items(), QStringList({"last finished=11.12.2026 13:00:00"}));
    EXPECT_EQ(grid.Value("LAST FINISHED"), QStringLiteral("11.12.2026 13:00:00"));
}
