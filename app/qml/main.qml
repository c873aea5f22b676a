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
        fwUpdateProcessor.memOffset = bootloaderRadio.checked ? fwUpdateProcessor.BootloaderOffset
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

    function clock(ms) {
        var seconds = Math.max(0, Math.round(ms / 1000))
        var minutes = Math.floor(seconds / 60)
        seconds = seconds % 60
        return minutes + ":" + (seconds < 10 ? "0" : "") + seconds
    }

    Component.onCompleted: {
        renewFileDialog()
        if (hasProcessor)
            fwUpdateProcessor.refreshDevices()
    }

    // Quitting mid-run would leave a half-written flash behind.
    onClosing: function(close) {
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

    Dialog {
        id: riskDialog
        objectName: "riskDialog"
        property string problems: ""
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
        onAccepted: startRun()
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

        Pane {
            id: basicTab
            objectName: "basicTab"
            visible: tabs.currentIndex === 0
            Layout.fillWidth: true

            Label {
                id: basicInfoLabel
                objectName: "basicInfoLabel"
                width: parent.width
                elide: Text.ElideMiddle
                text: firmwareDirMissing
                      ? qsTr("The firmware directory is missing: it was looked for at %1.").arg(searchedFirmwareDir)
                      : hasProcessor && fwUpdateProcessor.deviceDetected && firmwareFile !== ""
                        ? qsTr("Ready to load version %1.").arg(fwUpdateProcessor.firmwareVersion)
                        : qsTr("Device not ready.")

                states: State {
                    name: "programming"
                    when: busyProgramming
                    PropertyChanges {
                        target: basicInfoLabel
                        text: qsTr("Loading version %1. Please wait for programming to complete.")
                              .arg(hasProcessor ? fwUpdateProcessor.firmwareVersion : "")
                    }
                }
            }
        }

        Pane {
            id: advancedTab
            objectName: "advancedTab"
            visible: tabs.currentIndex === 1
            Layout.fillWidth: true

            Column {
                width: parent.width
                spacing: 8

                GroupBox {
                    id: firmwareTypeBox
                    objectName: "firmwareTypeBox"
                    title: qsTr("Firmware Type")

                    Row {
                        RadioButton {
                            id: bootloaderRadio
                            objectName: "bootloaderRadio"
                            text: qsTr("Bootloader")
                            enabled: !busyProgramming
                            onCheckedChanged: firmwareTypeChanged()
                        }
                        RadioButton {
                            id: applicationRadio
                            objectName: "applicationRadio"
                            text: qsTr("Application")
                            checked: true
                            enabled: !busyProgramming
                            onCheckedChanged: firmwareTypeChanged()
                        }
                    }
                }

                Button {
                    id: selectFileButton
                    objectName: "selectFileButton"
                    text: qsTr("Select File...")
                    enabled: !busyProgramming
                    onClicked: {
                        fileDialog.nameFilters = bootloaderRadio.checked ? [qsTr("FPGA bitstream (*.bit)")]
                                                                         : [qsTr("Application executable (*.srec)")]
                        fileDialog.open()
                    }
                }

                Label {
                    id: fileLabel
                    objectName: "fileLabel"
                    width: parent.width
                    // The file name is the part that matters: the folders give way first.
                    elide: Text.ElideMiddle
                    text: firmwareFile !== "" ? firmwareFile : qsTr("No file selected.")
                    ToolTip.text: firmwareFile
                    ToolTip.visible: firmwareFile !== "" && fileLabelHover.hovered
                    ToolTip.delay: 500

                    HoverHandler {
                        id: fileLabelHover
                    }
                }
            }
        }

        Row {
            spacing: 8

            Button {
                id: refreshDeviceButton
                objectName: "refreshDeviceButton"
                text: qsTr("Refresh Device")
                enabled: !busyProgramming
                onClicked: {
                    if (hasProcessor)
                        fwUpdateProcessor.refreshDevices()
                }
            }
            Button {
                id: loadFirmwareButton
                objectName: "loadFirmwareButton"
                text: qsTr("Load Firmware")
                enabled: firmwareFile !== "" && !busyProgramming && hasProcessor && fwUpdateProcessor.deviceDetected
                onClicked: loadFirmware()
            }
        }

        // The run at a glance: stage, how far, how long. Idle: the last outcome.
        ColumnLayout {
            id: progressArea
            objectName: "progressArea"
            Layout.fillWidth: true
            spacing: 4

            property double startedAt: 0
            property double now: 0

            Connections {
                target: hasProcessor ? fwUpdateProcessor : null
                function onIsProgrammingChanged(running) {
                    if (running) {
                        progressArea.startedAt = Date.now()
                        progressArea.now = progressArea.startedAt
                    }
                }
            }
            Timer {
                interval: 250
                repeat: true
                running: busyProgramming
                onTriggered: progressArea.now = Date.now()
            }

            RowLayout {
                Layout.fillWidth: true
                Label {
                    id: stageLabel
                    objectName: "stageLabel"
                    Layout.fillWidth: true
                    elide: Text.ElideMiddle
                    font.bold: !busyProgramming && lastOutcome !== ""
                    color: finishingBeforeExit || busyProgramming ? palette.windowText
                           : lastOutcome === "failed" ? errorColor
                           : lastOutcome === "complete" ? successColor : palette.windowText
                    text: finishingBeforeExit ? qsTr("Finishing the programming run before exit...")
                          : busyProgramming ? (stageText !== "" ? stageText : qsTr("Programming"))
                          : lastOutcome === "complete" ? qsTr("Last run: programming complete")
                          : lastOutcome === "failed" ? qsTr("Last run: programming failed")
                          : qsTr("Idle")
                }
                Label {
                    id: timeLabel
                    objectName: "timeLabel"
                    visible: busyProgramming
                    readonly property double elapsed: Math.max(0, progressArea.now - progressArea.startedAt)
                    text: {
                        var left = runProgress > 0.01 && runProgress < 1
                                   ? qsTr(", about %1 left").arg(clock(elapsed * (1 - runProgress) / runProgress)) : ""
                        return qsTr("stage %1%, run %2%, %3 elapsed")
                               .arg(Math.floor(stageProgress * 100)).arg(Math.floor(runProgress * 100))
                               .arg(clock(elapsed)) + left
                    }
                }
            }
            ProgressBar {
                id: runProgressBar
                objectName: "runProgressBar"
                Layout.fillWidth: true
                from: 0
                to: 1
                // Idle: full after a complete run, where it stopped after a failed one.
                value: busyProgramming || lastOutcome !== "" ? runProgress : 0
            }
        }

        RowLayout {
            Layout.fillWidth: true

            Label {
                id: logTitle
                objectName: "logTitle"
                text: "Activity Log"
                Layout.fillWidth: true
            }
            Button {
                id: saveLogButton
                objectName: "saveLogButton"
                text: qsTr("Save Log...")
                onClicked: saveLogDialog.open()
            }
        }

        Pane {
            id: logPane
            objectName: "logPane"
            Layout.fillWidth: true
            Layout.fillHeight: true
            padding: 4
            background: Rectangle { color: "white" }

            ListView {
                id: messagesListView
                objectName: "messagesListView"
                anchors.fill: parent
                clip: true
                model: hasNotifications ? notifications.logView : []

                // Follows the newest row while the view is at its end; a
                // user scrolling back (wheel, drag, scroll bar) stops that
                // until scrolling down to the end again. A move of the view
                // while its content keeps its height is the user's.
                property bool followNewest: true
                property bool autoScrolling: false
                property real knownContentHeight: 0
                function follow() {
                    if (!followNewest || moving)
                        return
                    autoScrolling = true
                    positionViewAtEnd()
                    autoScrolling = false
                }

                delegate: TextEdit {
                    objectName: "logRow"
                    width: messagesListView.width - logScrollBar.width - 2
                    text: model.display
                    color: model.error ? errorColor : "black"
                    font: logFont
                    textFormat: TextEdit.PlainText
                    wrapMode: TextEdit.Wrap
                    readOnly: true
                    selectByMouse: true
                    persistentSelection: false
                }

                ScrollBar.vertical: ScrollBar {
                    id: logScrollBar
                    objectName: "logScrollBar"
                    policy: ScrollBar.AlwaysOn
                    // Still something to grab with a hundred thousand rows.
                    minimumSize: messagesListView.height > 0 ? Math.min(1, 32 / messagesListView.height) : 0
                }

                onContentYChanged: {
                    if (!autoScrolling && height > 0 && (moving || contentHeight === knownContentHeight))
                        followNewest = atYEnd
                }
                onMovementEnded: followNewest = atYEnd
                onContentHeightChanged: {
                    knownContentHeight = contentHeight
                    follow()
                }
                // ...also when the log pane itself changes size with the tab shown.
                onHeightChanged: follow()
            }
        }
    }

    readonly property font logFont: typeof fixedFont !== "undefined" ? fixedFont : Qt.font({ family: "monospace" })
}
