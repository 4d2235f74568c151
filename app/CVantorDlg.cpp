#include "app/CVantorDlg.h"

#include "app/ControlId.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "p2p/P2PApi.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QResizeEvent>

// Outside any namespace, as Q_INIT_RESOURCE requires: the icon lives in the
// static library's resources, which must be registered explicitly.
static void InitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(vantor);
        return true;
    }();
    (void)done;
}

namespace {

const char* const PANE_SYMBOLS[CVantorDlg::PANE_COUNT] = {"IDC_VIDEO_PANE1", "IDC_VIDEO_PANE2", "IDC_VIDEO_PANE3",
                                                          "IDC_VIDEO_PANE4"};

// A plain push button: no tab stop, never the default button.
void SetUpButton(QPushButton& button, QWidget* parent, int id, const char* symbol, const QString& caption) {
    button.setParent(parent);
    SetControlId(&button, id, symbol);
    button.setText(caption);
    button.setFocusPolicy(Qt::ClickFocus);
    button.setAutoDefault(false);
    button.setDefault(false);
}

// Places a control given by its corners, right and bottom edges exclusive.
void PlaceRect(QWidget* control, int left, int top, int right, int bottom) {
    control->setGeometry(left, top, right - left, bottom - top);
}

} // namespace

CVantorDlg::CVantorDlg(QWidget* parent) : QDialog(parent) {
    InitResources();
    m_hIcon = QIcon(QStringLiteral(":/vantor.svg"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Vantor"));
    resize(INITIAL_CLIENT_WIDTH, INITIAL_CLIENT_HEIGHT);
}

CVantorDlg::~CVantorDlg() {
    ShutdownPanes();
}

void CVantorDlg::showEvent(QShowEvent* event) {
    // The controls are created once, right before the window first appears.
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool CVantorDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);

    const int W = width();
    const int H = height();
    m_nInitWidth = W;
    m_nInitHeight = H;
    // The window may not become smaller than its initial client area.
    setMinimumSize(m_nInitWidth, m_nInitHeight);

    const int n = m_nGrid;
    const int V = 2 * W / 3;
    const int P = W / 3;
    const int pw = V / n;
    const int ph = H / n;

    // Panes row by row, with a one-pixel seam between neighbours only.
    for (int i = 0; i < n * n; ++i) {
        const int r = i / n;
        const int c = i % n;
        const int left = c * pw;
        const int top = r * ph;
        const int right = (c == n - 1) ? left + pw : left + pw - 1;
        const int bottom = (r == n - 1) ? top + ph : top + ph - 1;
        VideoPane& pane = m_panes[static_cast<size_t>(i)];
        pane.setParent(this);
        SetControlId(&pane, IDC_VIDEO_PANE + i, PANE_SYMBOLS[i]);
        PlaceRect(&pane, left, top, right, bottom);
        pane.show();
        // Hand the pane to its pane thread and start that thread.
        LiveThread& thread = m_liveThreads[static_cast<size_t>(i)];
        thread.SetRenderWindow(static_cast<VideoPane*>(FindControl(this, IDC_VIDEO_PANE + i)));
        thread.CreateThread();
    }

    const int g = P / 21;
    const int bw = (P - 5 * g) / 4;
    const int bh = bw / 2;

    SetUpButton(m_btnUpload, this, IDC_BTN_UPLOAD, "IDC_BTN_UPLOAD", tr("上传文件(&U)"));
    PlaceRect(&m_btnUpload, V + g, 10, V + P - g, 10 + bh);
    m_btnUpload.show();

    QPushButton* rowButtons[] = {&m_btnAdd, &m_btnDelete, &m_btnTalk, &m_btnRecord};
    const int ids[] = {IDC_BTN_ADD, IDC_BTN_DELETE, IDC_BTN_TALK, IDC_BTN_RECORD};
    const char* const symbols[] = {"IDC_BTN_ADD", "IDC_BTN_DELETE", "IDC_BTN_TALK", "IDC_BTN_RECORD"};
    const QString captions[] = {tr("添加(&A)"), tr("删除(&D)"), tr("对讲(&S)"), tr("录制(&W)")};
    int left = V + g;
    for (int k = 0; k < 4; ++k) {
        SetUpButton(*rowButtons[k], this, ids[k], symbols[k], captions[k]);
        PlaceRect(rowButtons[k], left, bh + 20, left + bw, bw + 20);
        rowButtons[k]->show();
        left += bw + g;
    }

    m_listDevices.setParent(this);
    SetControlId(&m_listDevices, IDC_DEVICE_LIST, "IDC_DEVICE_LIST");
    PlaceRect(&m_listDevices, V + 15, bw + 30, W - 15, H - 10);
    m_listDevices.setFocusPolicy(Qt::ClickFocus);
    m_listDevices.clear();
    m_listDevices.setColumnCount(4);
    m_listDevices.setHeaderLabels({tr("设备UID"), tr("直播状态"), tr("对讲状态"), tr("录制状态")});
    QHeaderView* header = m_listDevices.header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(true);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int columnWidth = (W - 15 - (V + 15)) / 4;
    for (int column = 0; column < 4; ++column) {
        m_listDevices.setColumnWidth(column, columnWidth);
    }
    m_listDevices.setRootIsDecorated(false);
    m_listDevices.setItemsExpandable(false);
    m_listDevices.setUniformRowHeights(true);
    m_listDevices.setAllColumnsShowFocus(true);
    m_listDevices.setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listDevices.setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_listDevices.setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int row = 0; row < n * n; ++row) {
        m_listDevices.addTopLevelItem(new QTreeWidgetItem(QStringList{QString(), QString(), QString(), QString()}));
    }
    m_listDevices.show();

    connect(&m_btnUpload, &QPushButton::clicked, this, [this] { OnBnClickedUpload(); });
    connect(&m_btnAdd, &QPushButton::clicked, this, [this] { OnBnClickedAdd(); });
    connect(&m_btnDelete, &QPushButton::clicked, this, [this] { OnBnClickedDelete(); });
    connect(&m_btnTalk, &QPushButton::clicked, this, [this] { OnBnClickedTalk(); });
    connect(&m_btnRecord, &QPushButton::clicked, this, [this] { OnBnClickedRecord(); });
    connect(&m_listDevices, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { OnNMDblclkDeviceList(m_listDevices.indexOfTopLevelItem(item)); });

    // Device identities are pinned beside the device list.
    IOTC_Set_Known_Devices_File(DeviceStore().KnownDevicesPath().c_str());
    LoadDeviceStore();
    return true;
}

void CVantorDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    OnSize();
}

void CVantorDlg::OnSize() {
    const int W = width();
    const int H = height();
    const int n = m_nGrid;
    // The panel keeps its initial width; the video area takes the rest.
    const int P = m_nInitWidth / 3;
    const int V = W - P;
    const int pw = V / n;
    const int ph = H / n;

    for (int i = 0; i < n * n; ++i) {
        QWidget* pane = FindControl(this, IDC_VIDEO_PANE + i);
        if (!pane) {
            continue;
        }
        const int r = i / n;
        const int c = i % n;
        pane->setGeometry(c * pw, r * ph, (c == n - 1) ? pw : pw - 1, (r == n - 1) ? ph : ph - 1);
    }

    const int g = P / 21;
    const int bw = (P - 5 * g) / 4;
    if (QWidget* upload = FindControl(this, IDC_BTN_UPLOAD)) {
        upload->setGeometry(V + g, 10, P - 2 * g, bw / 2);
    }
    const int ids[] = {IDC_BTN_ADD, IDC_BTN_DELETE, IDC_BTN_TALK, IDC_BTN_RECORD};
    for (int k = 0; k < 4; ++k) {
        if (QWidget* button = FindControl(this, ids[k])) {
            button->setGeometry(V + g + k * (bw + g), bw / 2 + 20, bw, bw - bw / 2);
        }
    }
    if (QWidget* list = FindControl(this, IDC_DEVICE_LIST)) {
        list->setGeometry(V + 15, bw + 30, P - 30, H - bw - 40);
    }
}

void CVantorDlg::keyPressEvent(QKeyEvent* event) {
    // Enter presses the focused push button, as in a standard dialog;
    // elsewhere it ends the dialog like Esc does.
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
            return;
        }
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVantorDlg::LoadDeviceStore() {
    DeviceStore store;
    // The store writes the UID and the ready text; the latter is shown in the interface's language.
    const int result = store.Load(m_nGrid * m_nGrid, [this](int row, int column, const std::string& text) {
        SetCell(row, column, column == 0 || text.empty() ? QString::fromStdString(text) : tr("就绪"));
    });
    if (result != 0) {
        MessageBox::ShowError(this, QString::fromStdString(store.LastError()));
    }
}

void CVantorDlg::SetCell(int row, int column, const QString& text) {
    if (QTreeWidgetItem* item = m_listDevices.topLevelItem(row)) {
        item->setText(column, text);
    }
}

QStringList CVantorDlg::RowTexts(int row) const {
    QStringList texts;
    if (const QTreeWidgetItem* item = m_listDevices.topLevelItem(row)) {
        for (int column = 0; column < 4; ++column) {
            texts.append(item->text(column));
        }
    }
    return texts;
}
