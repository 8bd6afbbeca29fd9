#include "about_box.h"

#include <csetjmp>
#include <cstdio>
#include <memory>

#include <QFile>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <jpeglib.h>

// The picture is compiled into the program (about/about_box.qrc).
static void initAboutResources() { Q_INIT_RESOURCE(about_box); }

namespace tavrinth {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return: jump back out of
// the decoder instead of ending the program.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void jpegWarning(j_common_ptr, int) {}  // corrupt-data warnings: the decoder carries on

// What the decoder fills; kept on the heap so that nothing the jump skips over needs destroying
// and nothing changed after setjmp lives in a local variable.
struct JpegState {
    jpeg_decompress_struct info;
    JpegErrors errors;
    QImage image;
    bool created = false;
};

}  // namespace

QImage DecodeJpeg(const QByteArray& data, QString* error) {
    const auto state = std::make_unique<JpegState>();
    state->info.err = jpeg_std_error(&state->errors.manager);
    state->errors.manager.error_exit = jpegErrorExit;
    state->errors.manager.emit_message = jpegWarning;
    state->errors.message[0] = 0;
    if (setjmp(state->errors.jump)) {
        if (state->created) jpeg_destroy_decompress(&state->info);
        if (error) *error = QString::fromLocal8Bit(state->errors.message);
        return QImage();
    }
    if (data.isEmpty()) {
        if (error) *error = QStringLiteral("Empty input file");
        return QImage();
    }
    jpeg_create_decompress(&state->info);
    state->created = true;
    jpeg_mem_src(&state->info, reinterpret_cast<const unsigned char*>(data.constData()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&state->info, TRUE);
    state->info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&state->info);
    state->image = QImage(static_cast<int>(state->info.output_width), static_cast<int>(state->info.output_height),
                          QImage::Format_RGB888);
    if (state->image.isNull()) {
        jpeg_destroy_decompress(&state->info);
        if (error) *error = QStringLiteral("Not enough memory for the picture");
        return QImage();
    }
    while (state->info.output_scanline < state->info.output_height) {
        JSAMPROW row = state->image.scanLine(static_cast<int>(state->info.output_scanline));
        jpeg_read_scanlines(&state->info, &row, 1);
    }
    jpeg_finish_decompress(&state->info);
    jpeg_destroy_decompress(&state->info);
    return state->image;
}

TfmAbout::TfmAbout(QWidget* owner) : QDialog(owner) {
    initAboutResources();
    setObjectName(QStringLiteral("fmAbout"));
    setWindowTitle(QStringLiteral("Tavrinth version 1.3"));
    // A fixed dialog frame: no resizing, no minimise or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(364, 317);
    setModal(true);
    // "MS Sans Serif", 11 pixels high: the application's font at that height.
    QFont base = font();
    base.setPixelSize(11);
    setFont(base);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 6, 349, 243);

    Label1 = new QLabel(QStringLiteral("Tavrinth "), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont title = base;
    title.setPixelSize(19);
    title.setBold(true);
    Label1->setFont(title);
    Label1->move(24, 30);
    Label1->adjustSize();

    QFile file(QStringLiteral(":/about/about_picture.jpg"));
    if (file.open(QIODevice::ReadOnly)) picture_ = DecodeJpeg(file.readAll());
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(173, 12, 169, 38);
    Image1->setScaledContents(true);  // drawn stretched to fill the control
    if (!picture_.isNull()) Image1->setPixmap(QPixmap::fromImage(picture_));

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(273, 279, 75, 25);
    BitBtn1->setDefault(true);
    BitBtn1->setAutoDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TfmAbout::BitBtn1Click);

    // Centred on the screen.
    if (const QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TfmAbout::BitBtn1Click() { accept(); }

void TfmAbout::ShowModal(QWidget* owner) {
    TfmAbout dialog(owner);
    dialog.exec();
}

}  // namespace tavrinth
