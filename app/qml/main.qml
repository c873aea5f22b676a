import QtQuick 2.15
import Qt.labs.platform 1.1
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

    // A file URL as a local path: "/home/u/a.bit" on Linux, "C:/u/a.bit" on
    // Windows, "//host/share/a.bit" for a share; escapes such as %23 decoded.
    function localPath(url) {
        var text = url.toString()
        if (/^file:\/\/\/[A-Za-z]:/.test(text))
            text = text.substring(8)
        else if (/^file:\/\/\//.test(text))
            text = text.substring(7)
        else if (/^file:\/\//.test(text))
            text = text.substring(5)
        return decodeURIComponent(text)
    }

    function updateMemOffset() {
        if (!hasProcessor)
            return
        fwUpdateProcessor.memOffset = bootloaderRadio.checked ? fwUpdateProcessor.BootloaderOffset
                                                              : fwUpdateProcessor.ApplicationOffset
    }

    function firmwareTypeChanged() {
        updateMemOffset()
        fileDialog.currentFile = ""
        if (hasProcessor)
            fwUpdateProcessor.firmwareFile = ""
    }

    Component.onCompleted: {
        if (hasProcessor)
            fwUpdateProcessor.refreshDevices()
    }

    // Quitting mid-run would leave a half-written flash behind.
    onClosing: function(close) {
        if (busyProgramming) {
            close.accepted = false
            if (hasNotifications)
                notifications.addMessage(qsTr("Programming is in progress. The loader can be closed once it has finished."))
        }
    }

    FileDialog {
        id: fileDialog
        objectName: "fileDialog"
        fileMode: FileDialog.OpenFile
        folder: hasProcessor ? fwUpdateProcessor.firmwareDir
                             : StandardPaths.writableLocation(StandardPaths.DownloadLocation)
        onAccepted: {
            updateMemOffset()
            if (hasProcessor)
                fwUpdateProcessor.openFile(localPath(fileDialog.file))
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
                text: hasProcessor && fwUpdateProcessor.deviceDetected && firmwareFile !== ""
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
                    text: firmwareFile !== "" ? firmwareFile : qsTr("No file selected.")
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
                onClicked: {
                    updateMemOffset()
                    if (hasNotifications)
                        notifications.addMessage("Starting loading of " + firmwareFile)
                    fwUpdateProcessor.program()
                }
            }
        }

        Label {
            id: spacer
            objectName: "spacer"
        }

        Label {
            id: logTitle
            objectName: "logTitle"
            text: "Activity Log"
        }

        Pane {
            id: logPane
            objectName: "logPane"
            Layout.fillWidth: true
            Layout.fillHeight: true
            background: Rectangle { color: "white" }

            ListView {
                id: messagesListView
                objectName: "messagesListView"
                anchors.fill: parent
                clip: true
                model: hasNotifications ? notifications.messagesModel : []

                delegate: TextInput {
                    width: messagesListView.width
                    text: display
                    readOnly: true
                    selectByMouse: true
                    wrapMode: TextInput.Wrap
                }

                ScrollBar.vertical: ScrollBar { policy: ScrollBar.AlwaysOn }

                // The newest message is always in view.
                onContentHeightChanged: positionViewAtEnd()
                // ...also when the log pane itself changes size with the tab shown.
                onHeightChanged: positionViewAtEnd()
            }
        }
    }
}
