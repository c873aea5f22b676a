import QtQuick 2.15
import Qt.labs.platform 1.1 as Platform
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQml 2.15
import LoaderGUI 1.0

ApplicationWindow {
    id: appWindow
    objectName: "appWindow"

    width: 800
    height: 600
    minimumWidth: 800
    maximumWidth: 800
    minimumHeight: 600
    maximumHeight: 600
    visible: true
    title: appTitle

    readonly property bool hasProcessor: typeof fwUpdateProcessor !== "undefined" && fwUpdateProcessor !== null
    readonly property bool hasNotifications: typeof notifications !== "undefined" && notifications !== null
    readonly property bool busyProgramming: hasProcessor ? fwUpdateProcessor.isProgramming : false
    readonly property string firmwareFile: hasProcessor ? fwUpdateProcessor.firmwareFile : ""
    // Set by start-up when the application was told to quit during a run.
    property bool finishingBeforeExit: false

    readonly property color errorColor: "#c62828"
    readonly property color successColor: "#2e7d32"
    readonly property string searchedFirmwareDir: typeof firmwareDirSearched !== "undefined" ? firmwareDirSearched : ""
    readonly property bool firmwareDirMissing: hasProcessor && searchedFirmwareDir !== ""
                                               && fwUpdateProcessor.firmwareDir.toString() === ""

    // The run's progress as the processor publishes it; empty while it has none.
    function runValue(name, fallback) {
        if (!hasProcessor || fwUpdateProcessor[name] === undefined)
            return fallback
        return fwUpdateProcessor[name]
    }
    readonly property string stageText: runValue("stageText", "")
    readonly property real stageProgress: runValue("stageProgress", 0)
    readonly property real runProgress: runValue("runProgress", 0)
    readonly property string lastOutcome: runValue("lastOutcome", "")

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
                var kind = images[i].kind === "bitstream" ? qsTr("the FPGA bitstream") : qsTr("the application image")
                found.push(qsTr("%1 goes to offset 0x%2, where %3 belongs.\n%4")
                           .arg(images[i].path).arg(images[i].offset.toString(16)).arg(kind).arg(problem))
            }
        }
        return found
    }

    function loadFirmware() {
        updateMemOffset()
        var problems = runProblems()
        if (problems.length > 0) {
            riskDialog.problems = problems.join("\n\n")
            riskDialog.open()
            return
        }
        startRun()
    }

    function startRun() {
        if (hasNotifications)
            notifications.addMessage("Starting loading of " + firmwareFile)
        fwUpdateProcessor.program()
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
        folder: Platform.StandardPaths.writableLocation(Platform.StandardPaths.DocumentsLocation)
        currentFile: folder + "/pravel-fw-loader-log.txt"
        onAccepted: {
            var path = hasProcessor ? fwUpdateProcessor.localPath(file) : ""
            var problem = hasNotifications && hasProcessor ? notifications.saveLog(path) : ""
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

    Dialog {
        id: riskDialog
        objectName: "riskDialog"
        property string problems: ""
        // true: the answer goes to the run waiting for it; false: it starts one.
        property bool runAsks: false
        title: qsTr("Write this file?")
        modal: true
        anchors.centerIn: parent
        contentWidth: 560
        closePolicy: Popup.CloseOnEscape

        contentItem: Label {
            objectName: "riskText"
            wrapMode: Text.Wrap
            text: riskDialog.problems + "\n\n"
                  + qsTr("If it is written, the instrument will not start until a correct file is programmed. Write it anyway?")
        }
        footer: DialogButtonBox {
            Button {
                objectName: "riskCancelButton"
                text: qsTr("Cancel")
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            Button {
                objectName: "riskWriteButton"
                text: qsTr("Write Anyway")
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
        onAccepted: {
            if (runAsks)
                fwUpdateProcessor.answerQuestion(true)
            else
                startRun()
        }
        onRejected: {
            if (runAsks)
                fwUpdateProcessor.answerQuestion(false)
        }
    }

    Dialog {
        id: closeRefusedDialog
        objectName: "closeRefusedDialog"
        title: appTitle
        modal: true
        anchors.centerIn: parent
        contentWidth: closeRefusedLabel.implicitWidth
        standardButtons: Dialog.Ok
        contentItem: Label {
            id: closeRefusedLabel
            text: qsTr("Programming is in progress. The loader can be closed once it has finished.")
        }
    }

    DiagnosisPanel {
        id: diagnosisPanel
        processor: hasProcessor ? fwUpdateProcessor : null
        errorColor: appWindow.errorColor
        successColor: appWindow.successColor
    }

    Dialog {
        id: messageDialog
        objectName: "messageDialog"
        property alias text: messageLabel.text
        modal: true
        anchors.centerIn: parent
        contentWidth: 560
        standardButtons: Dialog.Ok
        contentItem: Label {
            id: messageLabel
            wrapMode: Text.Wrap
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 8
        spacing: 8

        TabBar {
            id: tabs
            objectName: "tabs"
            enabled: !busyProgramming
            onCurrentIndexChanged: {
                if (hasProcessor)
                    fwUpdateProcessor.programmingMode = currentIndex === 0 ? FWUpdateProcessor.Full
                                                                           : FWUpdateProcessor.Single
            }

            TabButton {
                id: basicTabButton
                objectName: "basicTabButton"
                text: qsTr("Basic")
                width: implicitWidth
            }
            TabButton {
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
            ready: hasProcessor && fwUpdateProcessor.deviceDetected && firmwareFile !== ""
            version: hasProcessor ? fwUpdateProcessor.firmwareVersion : ""
            missingDirectory: firmwareDirMissing ? searchedFirmwareDir : ""
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
            onRefreshClicked: {
                if (hasProcessor)
                    fwUpdateProcessor.refreshDevices()
            }
            onLoadClicked: loadFirmware()
        }

        ProgressPanel {
            Layout.fillWidth: true
            processor: hasProcessor ? fwUpdateProcessor : null
            busy: busyProgramming
            finishingBeforeExit: appWindow.finishingBeforeExit
            stageText: appWindow.stageText
            stageProgress: appWindow.stageProgress
            runProgress: appWindow.runProgress
            lastOutcome: appWindow.lastOutcome
            errorColor: appWindow.errorColor
            successColor: appWindow.successColor
        }

        LogPanel {
            Layout.fillWidth: true
            Layout.fillHeight: true
            rows: hasNotifications ? notifications.logView : []
            errorColor: appWindow.errorColor
            logFont: appWindow.logFont
            onSaveLogClicked: saveLogDialog.open()
        }
    }

    readonly property font logFont: typeof fixedFont !== "undefined" ? fixedFont : Qt.font({ family: "monospace" })
}
