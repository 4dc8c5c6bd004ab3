#pragma once

#include "TrafficModel.h"

#include <QWidget>

#include <vector>

class QChart;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

namespace ui {

// The traffic window's charts (Qt Charts): the round trip of the newest
// answers over time, and how the round trips since opened or cleared spread.
// All of the window's chart code is here, so that the window builds and works
// without it.
class TrafficChart final : public QWidget {
    Q_OBJECT

public:
    explicit TrafficChart(QWidget* parent = nullptr);

    // Draws what the model holds now.
    void Update(const TrafficModel& model);

    // An axis as drawn: over time x (0) and y (1), the histogram's x (2)
    // and y (3).
    struct AxisShown {
        QString title;
        QString labelFormat;
        double min = 0;
        double max = 0;
        int ticks = 0;
    };
    AxisShown Axis(int which) const;
    // The line's pieces drawn now (a pause in the answers breaks it).
    int Pieces() const;

private:
    QLineSeries* Piece(std::size_t index);

    QChart* timeChart_ = nullptr;
    std::vector<QLineSeries*> pieces_;
    std::size_t piecesUsed_ = 0;
    QScatterSeries* lonePoints_ = nullptr; // pieces of a single answer
    QValueAxis* timeX_ = nullptr;
    QValueAxis* timeY_ = nullptr;
    QLineSeries* histogramSeries_ = nullptr;
    QValueAxis* histogramX_ = nullptr;
    QValueAxis* histogramY_ = nullptr;
};

} // namespace ui
