#include "ui/frm_main.h"

#include "core/app.h"
#include "ui/pictures.h"

namespace rz {

namespace {

constexpr int kTwipsPerPixel = 15;

Rect Twips(int left, int top, int width, int height) {
    return Rect{left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                height / kTwipsPerPixel};
}

constexpr std::uint32_t Rgb(unsigned r, unsigned g, unsigned b) { return r | (g << 8) | (b << 16); }

// The platform timer runs only while enabled with a non-zero interval.
void ApplyTimer(Ctx& c) {
    const FrmMain& f = c.frmMAIN;
    c.p.SetTimer(f.timerEnabled ? f.timerInterval : 0);
}

}  // namespace

FormDesign frmMAIN_Design() {
    FormDesign d;
    d.title = "KORU MGRM";
    d.clientWidth = 9480 / kTwipsPerPixel;
    d.clientHeight = 6795 / kTwipsPerPixel;
    d.backColor = Rgb(255, 255, 255);
    d.foreColor = Rgb(0, 0, 0);
    d.images[0] = {Twips(2280, 5580, 480, 480), LampPicture(0), false};
    d.images[1] = {Twips(2280, 6120, 480, 480), LampPicture(1), false};
    d.images[2] = {Twips(2790, 5580, 480, 480), LampPicture(2), false};
    d.images[3] = {Twips(30, -270, 7365, 5580), BalloonPicture(), true};
    d.imageCount = 4;
    d.labelBox = Twips(1560, 990, 4605, 3045);
    d.labelBackColor = Rgb(255, 255, 128);
    d.labelTextColor = Rgb(255, 0, 0);
    d.labelFont = "Tahoma";
    d.labelPoints = 24;
    d.labelBold = true;
    return d;
}

void frmMAIN_Load(Ctx& c) {
    if (c.frmMAIN.created) return;
    if (!c.p.CreateMainWindow(frmMAIN_Design())) throw Failure("the main window cannot be created");
    c.frmMAIN.created = true;
    c.frmMAIN.timerEnabled = false;
    c.frmMAIN.timerInterval = 0;
}

void TimerMONITORVESK_SetEnabled(Ctx& c, bool enabled) {
    frmMAIN_Load(c);
    if (c.frmMAIN.timerEnabled == enabled) return;
    c.frmMAIN.timerEnabled = enabled;
    ApplyTimer(c);
}

void TimerMONITORVESK_SetInterval(Ctx& c, std::uint32_t intervalMs) {
    frmMAIN_Load(c);
    c.frmMAIN.timerInterval = intervalMs;
    ApplyTimer(c);  // a new interval restarts the count
}

void LBLMSG_SetCaption(Ctx& c, const std::string& text) {
    frmMAIN_Load(c);
    c.frmMAIN.lblCaption = text;
    c.p.SetLabelText(text);
}

void frmMAIN_Show(Ctx& c) {
    frmMAIN_Load(c);
    c.p.ShowMainWindow();
}

void LBLMSG_Refresh(Ctx& c) {
    frmMAIN_Load(c);
    c.p.RepaintLabel();
}

}  // namespace rz
