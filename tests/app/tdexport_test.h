#pragma once
// The grid's data source on its own (run by the window tests' main).

#include <QObject>

class TdExportTest : public QObject {
    Q_OBJECT

private slots:
    void readsOnlyWhatIsShownWithABoundedCache();
    void memoAndBlobMarkers();
    void cellTextsReadBackAsValues();
};
