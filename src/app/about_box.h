#pragma once
// The about box: the program's name and version and a picture of our own, in a small modal
// dialog of fixed size, centred on the screen.

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;

namespace tavrinth {

// Decodes JPEG data with libjpeg into an RGB image. A null image, with the decoder's message in
// `error`, when the data is no JPEG or is damaged.
QImage DecodeJpeg(const QByteArray& data, QString* error = nullptr);

class TfmAbout : public QDialog {
    Q_OBJECT

public:
    explicit TfmAbout(QWidget* owner = nullptr);

    // What the tool-bar button does: a new about box owned by `owner`, shown modally and
    // destroyed when it closes.
    static void ShowModal(QWidget* owner);

    // The picture as decoded (361 x 84), before it is stretched into Image1.
    const QImage& Picture() const { return picture_; }

    QFrame* Bevel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Image1 = nullptr;
    QPushButton* BitBtn1 = nullptr;

private slots:
    void BitBtn1Click();

private:
    QImage picture_;
};

}  // namespace tavrinth
