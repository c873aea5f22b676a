import QtQuick 2.15
import Qt.labs.platform 1.1 as Platform
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQml 2.15
import LoaderGUI 1.0

ApplicationWindow {
    id: appWindow
    objectName: "appWindow"

    // 800 x 600, fixed, where that fits the screen; start-up fits it to a
    // smaller one (WindowFit), and the log gives up height first.
    width: 800
    height: 600
    visible: true
    title: appTitle

    readonly property bool hasProcessor: typeof fwUpdateProcessor !== "undefined" && fwUpdateProcessor !== null
    readonly property bool hasNotifications: typeof notifications !== "undefined" && notifications !== null
    readonly property bool busyProgramming: hasProcessor ? fwUpdateProcessor.isProgramming : false
    readonly property string firmwareFile: hasProcessor ? fwUpdateProcessor.firmwareFile : ""
    // Set by start-up when the application was told to quit during a run.
    property bool finishingBeforeExit: false
    // Less room than the usual window: every panel packs tighter.
    readonly property bool compact: height < 560

    readonly property color errorColor: "#c62828"
    readonly property color successColor: "#2e7d32"

    // The processor's findings; empty while it has none.
    function processorValue(name, fallback) {
        if (!hasProcessor || fwUpdateProcessor[name] === undefined)
            return fallback
        return fwUpdateProcessor[name]
    }
    readonly property string outcomeKind: processorValue("outcomeKind", "")
    // Several instruments attached: one is chosen by serial number, or all are programmed.
    readonly property int instrumentCount: processorValue("instruments", []).length
    readonly property bool programmingAll: processorValue("programmingAll", false)
    readonly property bool outcomeShown: !busyProgramming && !finishingBeforeExit && outcomeKind !== ""

    function updateMemOffset() {
        if (!hasProcessor)
            return
        fwUpdateProcessor.memOffset = advancedTab.bootloaderChosen ? fwUpdateProcessor.BootloaderOffset
                                                                   : fwUpdateProcessor.ApplicationOffset
    }

    // The file dialog is made anew whenever its selection must go: a widget
    // dialog keeps the name typed or picked last even when told to select
    // nothing, and its completion popup goes with it.
    property var fileDialog: null
    function renewFileDialog() {
        if (fileDialog !== null) {
            fileDialog.objectName = ""
            fileDialog.destroy()
        }
        fileDialog = fileDialogComponent.createObject(appWindow)
    }

    function firmwareTypeChanged() {
        updateMemOffset()
        renewFileDialog()
        if (hasProcessor)
            fwUpdateProcessor.firmwareFile = ""
    }

    // An offset as the log writes it: 0, 0x500000.
    function offsetText(offset) {
        return offset === 0 ? "0" : "0x" + offset.toString(16)
    }

    // Files that do not look like what belongs where they are going: each
    // one is named with what is wrong, for the confirmation.
    function runProblems() {
        var found = []
        if (typeof firmwareCheck === "undefined" || firmwareCheck === null)
            return found
        var images = fwUpdateProcessor.runImages()
        for (var i = 0; i < images.length; ++i) {
            var problem = firmwareCheck.problem(images[i].path, images[i].offset)
            if (problem !== "") {
                var kind = images[i].kind === "bitstream" ? qsTr("Bootloader (FPGA bitstream)") : qsTr("Application")
                found.push(qsTr("%1 is to be written at Offset: %2, where the %3 belongs.\n%4")
                           .arg(images[i].path).arg(offsetText(images[i].offset)).arg(kind).arg(problem))
            }
        }
        return found
    }

    // `all`: into every attached instrument (Load Firmware on All).
    function loadFirmware(all) {
        updateMemOffset()
        // A file that is gone or unreadable is said so; nothing to ask about.
        if (fwUpdateProcessor.refuseUnreadableFiles())
            return
        var problems = runProblems()
        if (problems.length > 0) {
            riskDialog.problems = problems.join("\n\n")
            riskDialog.all = all
            riskDialog.open()
            return
        }
        startRun(all, false)
    }

    // `confirmed`: the user chose to write a file the question warned about.
    function startRun(all, confirmed) {
        if (hasNotifications)
            notifications.addMessage("Starting loading of " + firmwareFile
                                     + (all ? " into all " + instrumentCount + " instruments" : ""))
        if (all)
            fwUpdateProcessor.programAll(confirmed)
        else
            fwUpdateProcessor.program(confirmed)
    }

    function refreshDevice() {
        if (hasProcessor && !busyProgramming)
            fwUpdateProcessor.refreshDevices()
    }

    function openSaveLog() {
        if (hasNotifications)
            saveLogDialog.folder = notifications.suggestedLogFolder()
        saveLogDialog.open()
        // Offered once the dialog is there: a dialog made on opening takes no name before.
        if (hasNotifications)
            saveLogDialog.currentFile = saveLogDialog.folder + "/" + notifications.suggestedLogName()
    }

    Component.onCompleted: {
        renewFileDialog()
        if (hasProcessor)
            fwUpdateProcessor.refreshDevices()
    }

    // Quitting mid-run would leave a half-written flash behind. A run that
    // is still asking about its bitstream has written nothing: closing says no.
    onClosing: function(close) {
        if (busyProgramming && fwUpdateProcessor.question !== "") {
            fwUpdateProcessor.answerQuestion(false)
            return
        }
        if (busyProgramming) {
            close.accepted = false
            var text = qsTr("Programming is in progress. The loader can be closed once it has finished.")
            if (hasNotifications)
                notifications.addMessage(text)
            closeRefusedDialog.open()
        }
    }

    Shortcut {
        objectName: "refreshShortcut"
        sequence: "F5"
        enabled: !busyProgramming && !riskDialog.visible
        onActivated: refreshDevice()
    }
    Shortcut {
        objectName: "saveLogShortcut"
        sequence: StandardKey.Save
        enabled: !riskDialog.visible
        onActivated: openSaveLog()
    }

    Component {
        id: fileDialogComponent

        Platform.FileDialog {
            objectName: "fileDialog"
            fileMode: Platform.FileDialog.OpenFile
            folder: hasProcessor ? fwUpdateProcessor.firmwareDir
                                 : Platform.StandardPaths.writableLocation(Platform.StandardPaths.DownloadLocation)
            onAccepted: {
                updateMemOffset()
                if (hasProcessor)
                    fwUpdateProcessor.openFile(fwUpdateProcessor.localPath(file))
                Qt.callLater(renewFileDialog)
            }
            onRejected: Qt.callLater(renewFileDialog)
        }
    }

    Platform.FileDialog {
        id: saveLogDialog
        objectName: "saveLogDialog"
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: [qsTr("Text files (*.txt)"), qsTr("All files (*)")]
        defaultSuffix: "txt"
        onAccepted: {
            var path = hasProcessor ? fwUpdateProcessor.localPath(file) : ""
            var header = hasProcessor ? fwUpdateProcessor.logHeader() : []
            var problem = hasNotifications && hasProcessor ? notifications.saveLog(path, header) : ""
            if (problem !== "") {
                messageDialog.title = qsTr("Save Log")
                messageDialog.text = qsTr("The log could not be saved to %1: %2").arg(path).arg(problem)
                messageDialog.open()
            }
        }
    }

    // The run's own question about its bitstream, asked before its first erase.
    Connections {
        target: hasProcessor ? fwUpdateProcessor : null
        function onQuestionChanged() {
            if (fwUpdateProcessor.question !== "") {
                riskDialog.problems = fwUpdateProcessor.question
                riskDialog.runAsks = true
                riskDialog.open()
            } else if (riskDialog.runAsks) {
                riskDialog.runAsks = false
                riskDialog.close()
            }
        }
    }

    // Dialogs stay inside the window, however small it is.
    component FittedDialog: Dialog {
        property real preferredWidth: 560
        modal: true
        anchors.centerIn: parent
        width: Math.min(preferredWidth, appWindow.width - 16)
        height: Math.min(implicitHeight, appWindow.height - 16)
    }

    FittedDialog {
        id: riskDialog
        objectName: "riskDialog"
        property string problems: ""
        // true: the answer goes to the run waiting for it; false: it starts one.
        property bool runAsks: false
        // The run it starts goes into every attached instrument.
        property bool all: false
        title: qsTr("Write this file?")
        closePolicy: Popup.CloseOnEscape
        // Cancel is where the keyboard starts: Enter alone writes nothing.
        onOpened: riskCancelButton.forceActiveFocus(Qt.TabFocusReason)

        contentItem: ScrollView {
            clip: true
            contentWidth: availableWidth
            Label {
                objectName: "riskText"
                width: riskDialog.availableWidth
                wrapMode: Text.Wrap
                text: riskDialog.problems + "\n\n"
                      + qsTr("If it is written, the instrument will not start until a correct file is programmed. Write it anyway?")
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }
        footer: DialogButtonBox {
            LoaderButton {
                id: riskCancelButton
                objectName: "riskCancelButton"
                text: qsTr("Cancel")
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            LoaderButton {
                objectName: "riskWriteButton"
                text: qsTr("Write Anyway")
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
        onAccepted: {
            if (runAsks)
                fwUpdateProcessor.answerQuestion(true)
            else
                startRun(all, true)
        }
        onRejected: {
            if (runAsks)
                fwUpdateProcessor.answerQuestion(false)
            else if (hasNotifications)
                notifications.addMessage(qsTr("Cancelled at the question \"Write this file?\": nothing was written.\n"))
        }
    }

    FittedDialog {
        id: closeRefusedDialog
        objectName: "closeRefusedDialog"
        title: appTitle
        preferredWidth: 420
        onOpened: closeRefusedOk.forceActiveFocus(Qt.TabFocusReason)
        contentItem: Label {
            text: qsTr("Programming is in progress. The loader can be closed once it has finished.")
            wrapMode: Text.Wrap
        }
        footer: DialogButtonBox {
            LoaderButton {
                id: closeRefusedOk
                text: qsTr("OK")
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
    }

    DiagnosisPanel {
        id: diagnosisPanel
        processor: hasProcessor ? fwUpdateProcessor : null
        errorColor: appWindow.errorColor
        successColor: appWindow.successColor
    }

    FittedDialog {
        id: messageDialog
        objectName: "messageDialog"
        property alias text: messageLabel.text
        onOpened: messageOk.forceActiveFocus(Qt.TabFocusReason)
        contentItem: Label {
            id: messageLabel
            wrapMode: Text.Wrap
        }
        footer: DialogButtonBox {
            LoaderButton {
                id: messageOk
                text: qsTr("OK")
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
    }

    ColumnLayout {
        id: page
        anchors.fill: parent
        anchors.margins: compact ? 4 : 8
        spacing: compact ? 4 : 8

        InstrumentPanel {
            Layout.fillWidth: true
            processor: hasProcessor ? fwUpdateProcessor : null
            busy: busyProgramming
            compact: appWindow.compact
            errorColor: appWindow.errorColor
            successColor: appWindow.successColor
        }

        TabBar {
            id: tabs
            objectName: "tabs"
            enabled: !busyProgramming
            Accessible.name: qsTr("Firmware to load")
            onCurrentIndexChanged: {
                if (hasProcessor)
                    fwUpdateProcessor.programmingMode = currentIndex === 0 ? FWUpdateProcessor.Full
                                                                           : FWUpdateProcessor.Single
            }

            LoaderTabButton {
                id: basicTabButton
                objectName: "basicTabButton"
                text: qsTr("Basic")
                width: implicitWidth
            }
            LoaderTabButton {
                id: advancedTabButton
                objectName: "advancedTabButton"
                text: qsTr("Advanced")
                width: implicitWidth
            }
        }

        BasicPanel {
            id: basicTab
            visible: tabs.currentIndex === 0
            Layout.fillWidth: true
            busy: busyProgramming
            compact: appWindow.compact
            ready: hasProcessor && fwUpdateProcessor.deviceDetected && firmwareFile !== ""
            choiceNeeded: processorValue("choiceNeeded", false)
            instrumentCount: appWindow.instrumentCount
            programmingAll: appWindow.programmingAll
            version: hasProcessor ? fwUpdateProcessor.firmwareVersion : ""
            missingDirectory: processorValue("firmwareDirMissing", "")
            incomplete: processorValue("flashIncomplete", false)
            errorColor: appWindow.errorColor
        }

        AdvancedPanel {
            id: advancedTab
            visible: tabs.currentIndex === 1
            Layout.fillWidth: true
            busy: busyProgramming
            firmwareFile: appWindow.firmwareFile
            onFirmwareTypeChosen: firmwareTypeChanged()
            onDiagnoseClicked: {
                if (!hasProcessor)
                    return
                diagnosisPanel.open()
                fwUpdateProcessor.diagnose()
            }
            onSelectFileClicked: {
                fileDialog.nameFilters = bootloaderChosen ? [qsTr("FPGA bitstream (*.bit)")]
                                                          : [qsTr("Application executable (*.srec)")]
                fileDialog.open()
            }
        }

        ActionButtons {
            busy: busyProgramming
            canLoad: firmwareFile !== "" && hasProcessor && fwUpdateProcessor.deviceDetected
            offerAll: instrumentCount > 1 && tabs.currentIndex === 0
            canLoadAll: firmwareFile !== "" && hasProcessor
            onRefreshClicked: refreshDevice()
            onLoadClicked: loadFirmware(false)
            onLoadAllClicked: loadFirmware(true)
        }

        InstrumentTable {
            Layout.fillWidth: true
            visible: tabs.currentIndex === 0 && hasProcessor && fwUpdateProcessor.instrumentRows.count > 0
            rows: hasProcessor ? fwUpdateProcessor.instrumentRows : null
            compact: appWindow.compact
            errorColor: appWindow.errorColor
            successColor: appWindow.successColor
        }

        ProgressPanel {
            Layout.fillWidth: true
            // Load Firmware on All shows each instrument's progress in its row.
            visible: (busyProgramming && !programmingAll) || finishingBeforeExit
            busy: busyProgramming
            finishingBeforeExit: appWindow.finishingBeforeExit
            stageText: processorValue("stageText", "")
            stageDetail: processorValue("stageDetail", "")
            stageProgress: processorValue("stageProgress", 0)
            runProgress: processorValue("runProgress", 0)
            secondsLeft: processorValue("secondsLeft", 0)
        }

        OutcomePanel {
            id: outcomePanel
            Layout.fillWidth: true
            // As much as it needs while the log keeps its few rows; it
            // scrolls beyond that. (Only an item that fills may shrink.)
            Layout.fillHeight: true
            Layout.preferredHeight: contentNeeds
            Layout.maximumHeight: contentNeeds
            Layout.minimumHeight: Math.min(contentNeeds, 48)
            visible: outcomeShown
            compact: appWindow.compact
            kind: outcomeKind
            title: processorValue("outcomeTitle", "")
            text: processorValue("outcomeText", "")
            steps: processorValue("outcomeSteps", [])
            errorColor: appWindow.errorColor
            successColor: appWindow.successColor
        }

        LogPanel {
            Layout.fillWidth: true
            Layout.fillHeight: true
            compact: appWindow.compact
            rows: hasNotifications ? notifications.logView : []
            errorColor: appWindow.errorColor
            logFont: appWindow.logFont
            onSaveLogClicked: openSaveLog()
        }
    }

    readonly property font logFont: typeof fixedFont !== "undefined" ? fixedFont : Qt.font({ family: "monospace" })
}
