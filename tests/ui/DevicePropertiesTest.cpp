// The device properties dialog, headless: what a run returns, the required
// host, help, and the window's controls.

#include "ui/AppHelp.h"
#include "ui/DevicePropertiesCM.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "tests/ui/ModalHelper.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

void PrintTo(const QString& text, std::ostream* out);

namespace {

class DevicePropertiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetApplicationHelpHandler([this](int context) { Helps.push_back(context); });
    }
    void TearDown() override { SetApplicationHelpHandler(nullptr); }

    // Runs the dialog and lets Action work the window.
    bool Run(bool newDevice, std::function<void(TDevicePropertiesForm&)> Action) {
        OnNextModal([this, Action](QWidget* window) {
            ASSERT_EQ(window, Dlg.Form());
            Action(*Dlg.Form());
        });
        if (newDevice)
            return Dlg.Execute(QStringLiteral("Add Device Info"), QString(), QString(), true,
                               dtComputer, true);
        return Dlg.Execute(QStringLiteral("Edit printer1"), QStringLiteral("printer1"),
                           QStringLiteral("Second floor"), false, dtPrinter, false);
    }

    TDevicePropertiesDlg Dlg;
    std::vector<int> Helps;
};

TEST_F(DevicePropertiesTest, AddingStartsEmptyAndAnyHostCounts) {
    EXPECT_TRUE(Run(true, [&](TDevicePropertiesForm& form) {
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Add Device Info"));
        EXPECT_EQ(form.Host->text(), QString());
        EXPECT_EQ(form.Description->text(), QString());
        EXPECT_EQ(form.DeviceType->checkedId(), static_cast<int>(dtComputer));
        EXPECT_TRUE(form.Monitored->isChecked());
        EXPECT_EQ(HelpContext(&form), 300);
        form.HelpBtn->click();
        form.Host->setText(QStringLiteral("  "));
        form.OKBtn->click();
    }));
    EXPECT_EQ(Helps, std::vector<int>{300});
    // Blanks are a host: only emptiness is refused.
    EXPECT_EQ(Dlg.Host, QStringLiteral("  "));
    EXPECT_EQ(Dlg.DeviceType, dtComputer);
    EXPECT_TRUE(Dlg.Monitored);
    EXPECT_EQ(Dlg.Form(), nullptr);
}

TEST_F(DevicePropertiesTest, EditingReturnsTrueOnlyForAChange) {
    EXPECT_FALSE(Run(false, [&](TDevicePropertiesForm& form) {
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Edit printer1"));
        EXPECT_EQ(form.Host->text(), QStringLiteral("printer1"));
        EXPECT_EQ(form.Description->text(), QStringLiteral("Second floor"));
        EXPECT_EQ(form.DeviceType->checkedId(), static_cast<int>(dtPrinter));
        EXPECT_FALSE(form.Monitored->isChecked());
        EXPECT_EQ(HelpContext(&form), 310);
        form.HelpBtn->click();
        form.OKBtn->click();
    }));
    EXPECT_EQ(Helps, std::vector<int>{310});

    // Letter case alone is a change.
    EXPECT_TRUE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("Printer1"));
        form.OKBtn->click();
    }));
    EXPECT_EQ(Dlg.Host, QStringLiteral("Printer1"));

    // Each of the other three values on its own.
    EXPECT_TRUE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Description->setText(QStringLiteral("Second floor "));
        form.OKBtn->click();
    }));
    EXPECT_EQ(Dlg.Description, QStringLiteral("Second floor "));
    EXPECT_TRUE(Run(false, [&](TDevicePropertiesForm& form) {
        form.DeviceType->button(dtInterface)->click();
        form.OKBtn->click();
    }));
    EXPECT_EQ(Dlg.DeviceType, dtInterface);
    EXPECT_TRUE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Monitored->click();
        form.OKBtn->click();
    }));
    EXPECT_TRUE(Dlg.Monitored);
    EXPECT_EQ(Dlg.Host, QStringLiteral("printer1"));
}

TEST_F(DevicePropertiesTest, CancelKeepsTheValues) {
    EXPECT_FALSE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("other"));
        form.DeviceType->button(dtRouter)->click();
        form.CancelBtn->click();
    }));
    EXPECT_EQ(Dlg.Host, QStringLiteral("printer1"));
    EXPECT_EQ(Dlg.DeviceType, dtPrinter);
}

TEST_F(DevicePropertiesTest, EmptyHostIsRefusedAndTheWindowStaysOpen) {
    QString title;
    QString text;
    bool stillOpen = false;
    EXPECT_FALSE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Host->clear();
        form.Description->setText(QStringLiteral("typed"));
        OnNextModal([&](QWidget* window) {
            auto* box = qobject_cast<QMessageBox*>(window);
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            EXPECT_EQ(box->buttons().size(), 1);
            box->button(QMessageBox::Ok)->click();
        });
        form.OKBtn->click();
        stillOpen = form.isVisible();
        EXPECT_EQ(form.Description->text(), QStringLiteral("typed"));
        form.CancelBtn->click();
    }));
    EXPECT_EQ(title, QStringLiteral("Information"));
    EXPECT_EQ(text, QStringLiteral("Host or IP is required"));
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(Dlg.Host, QStringLiteral("printer1"));
    EXPECT_EQ(Dlg.Description, QStringLiteral("Second floor"));
}

TEST_F(DevicePropertiesTest, AnUnknownDeviceTypeStaysUnlessOneIsPicked) {
    Dlg.Host = QStringLiteral("h");
    Dlg.DeviceType = static_cast<TDeviceType>(9);
    OnNextModal([&](QWidget*) {
        EXPECT_EQ(Dlg.Form()->DeviceType->checkedId(), -1);
        Dlg.Form()->OKBtn->click();
    });
    EXPECT_FALSE(Dlg.Execute());
    EXPECT_EQ(static_cast<int>(Dlg.DeviceType), 9);
    OnNextModal([&](QWidget*) {
        Dlg.Form()->DeviceType->button(dtServer)->click();
        Dlg.Form()->OKBtn->click();
    });
    EXPECT_TRUE(Dlg.Execute());
    EXPECT_EQ(Dlg.DeviceType, dtServer);
}

// Answers the next message box with the button captioned Caption, after
// keeping its text.
void AnswerBox(const QString& Caption, QString* Text) {
    OnNextModal([Caption, Text](QWidget* window) {
        auto* box = qobject_cast<QMessageBox*>(window);
        ASSERT_NE(box, nullptr);
        *Text = box->text();
        for (QAbstractButton* button : box->buttons())
            if (button->text() == Caption) {
                button->click();
                return;
            }
        ADD_FAILURE() << "no button " << Caption.toStdString();
    });
}

TEST_F(DevicePropertiesTest, AHostFieldHoldingAListOffersTheImport) {
    // A paste keeps its line breaks in the field's text.
    const QString pasted = QStringLiteral(" 10.51.0.10\n10.51.0.11\r\n10.51.0.12 ");
    QString question;
    bool stillOpen = false;
    // Cancel: back in the field, nothing taken.
    EXPECT_FALSE(Run(true, [&](TDevicePropertiesForm& form) {
        form.Host->setText(pasted);
        AnswerBox(QStringLiteral("Cancel"), &question);
        form.OKBtn->click();
        stillOpen = form.isVisible();
        EXPECT_EQ(form.focusWidget(), form.Host);
        form.CancelBtn->click();
    }));
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(question, QStringLiteral("\u201C10.51.0.10 10.51.0.11  10.51.0.12\u201D looks like a "
                                       "list of 3 hosts. Import them as a list?"));
    EXPECT_TRUE(Dlg.ImportText.isEmpty());

    // Import as a list: the run ends with the text, line breaks as the
    // import reads them, and without a device.
    EXPECT_FALSE(Run(true, [&](TDevicePropertiesForm& form) {
        form.Host->setText(pasted);
        AnswerBox(QStringLiteral("Import as &List"), &question);
        form.OKBtn->click();
    }));
    EXPECT_EQ(Dlg.ImportText, QStringLiteral("10.51.0.10\n10.51.0.11\n10.51.0.12"));

    // One host after all: as before, the text as typed.
    EXPECT_TRUE(Run(true, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("a;b"));
        AnswerBox(QStringLiteral("Add as &One Host"), &question);
        form.OKBtn->click();
    }));
    EXPECT_EQ(question, QStringLiteral("\u201Ca;b\u201D looks like a list of 2 hosts. Import them "
                                       "as a list?"));
    EXPECT_EQ(Dlg.Host, QStringLiteral("a;b"));
    EXPECT_TRUE(Dlg.ImportText.isEmpty());

    // The colons of an IPv6 address separate nothing: taken at once.
    EXPECT_TRUE(Run(true, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("[fe80::1%eth0]"));
        form.OKBtn->click();
    }));
    EXPECT_EQ(Dlg.Host, QStringLiteral("[fe80::1%eth0]"));

    // Editing never offers it.
    EXPECT_TRUE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("printer1 printer2"));
        form.OKBtn->click();
    }));
}

TEST_F(DevicePropertiesTest, AHostAlreadyListedIsAskedAboutOnlyWhenNewOrChanged) {
    std::vector<QString> asked;
    Dlg.IsListedHost = [&](const QString& host) {
        asked.push_back(host);
        return host.compare(QStringLiteral("PRINTER1"), Qt::CaseInsensitive) == 0 ||
               host == QStringLiteral("127.0.0.1");
    };
    QString question;
    bool stillOpen = false;
    EXPECT_FALSE(Run(true, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("127.0.0.1"));
        AnswerBox(QStringLiteral("&No"), &question);
        form.OKBtn->click();
        stillOpen = form.isVisible();
        form.CancelBtn->click();
    }));
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(question,
              QStringLiteral("\u201C127.0.0.1\u201D is already in the device list. Add it "
                             "anyway?"));
    EXPECT_TRUE(Run(true, [&](TDevicePropertiesForm& form) {
        form.Host->setText(QStringLiteral("127.0.0.1"));
        AnswerBox(QStringLiteral("&Yes"), &question);
        form.OKBtn->click();
    }));
    EXPECT_EQ(Dlg.Host, QStringLiteral("127.0.0.1"));

    // The device being edited keeps its host without a question.
    asked.clear();
    EXPECT_TRUE(Run(false, [&](TDevicePropertiesForm& form) {
        form.Description->setText(QStringLiteral("moved"));
        form.OKBtn->click();
    }));
    EXPECT_TRUE(asked.empty());
}

TEST_F(DevicePropertiesTest, ControlsAndScreenshot) {
    Run(true, [&](TDevicePropertiesForm& form) {
        QApplication::processEvents();
        const QString folder =
            QApplication::applicationDirPath() + QStringLiteral("/../screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(form.grab().save(folder + QStringLiteral("/device-properties.png")));

        // Each label above its field; the check box right of the host.
        for (QLabel* label : form.findChildren<QLabel*>())
            EXPECT_LT(label->geometry().bottom(), label->buddy()->y());
        EXPECT_GT(form.Monitored->x(), form.Host->geometry().right());
        // Three columns, filled a column at a time.
        EXPECT_EQ(form.DeviceType->button(dtServer)->x(), form.DeviceType->button(dtComputer)->x());
        EXPECT_LT(form.DeviceType->button(dtServer)->x(), form.DeviceType->button(dtPrinter)->x());
        EXPECT_LT(form.DeviceType->button(dtRouter)->x(), form.DeviceType->button(dtBridge)->x());
        // Help on the left, OK rightmost and default, all inside the window.
        EXPECT_TRUE(form.OKBtn->isDefault());
        EXPECT_LT(form.HelpBtn->geometry().right(), form.CancelBtn->x());
        EXPECT_LT(form.CancelBtn->geometry().right(), form.OKBtn->x());
        EXPECT_TRUE(form.rect().contains(form.OKBtn->geometry()));
        EXPECT_EQ(QApplication::focusWidget(), form.Host);
    });
}

} // namespace
