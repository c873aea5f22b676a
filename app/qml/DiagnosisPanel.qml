import QtQuick 2.15
import Qt.labs.platform 1.1 as Platform
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The diagnosis as a checklist: each step with its mark, what it found and,
// for a finding, the likely cause and what to do. Open while the diagnosis
// runs; "Save Report..." writes it for support once it has ended.
Dialog {
    id: diagnosisPanel
    objectName: "diagnosisPanel"

    // The processor that runs the diagnosis; null when there is none.
    property QtObject processor: null
    property color errorColor
    property color successColor

    readonly property bool running: processor !== null && processor.isDiagnosing
    readonly property var steps: processor !== null ? processor.diagnosisSteps : []

    title: qsTr("Diagnose")
    modal: true
    anchors.centerIn: parent
    width: 760
    height: 560
    closePolicy: running ? Popup.NoAutoClose : Popup.CloseOnEscape

    function mark(verdict) {
        return verdict === "ok" ? "\u2713" : verdict === "finding" ? "\u2717" : verdict === "pending" ? "\u2026" : "\u2013"
    }
    function markColor(verdict) {
        return verdict === "ok" ? successColor : verdict === "finding" ? errorColor : palette.mid
    }

    contentItem: ColumnLayout {
        spacing: 8

        Label {
            objectName: "diagnosisSummary"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font.bold: true
            text: diagnosisPanel.running ? qsTr("Checking the bridge, the wiring and the flash...")
                                         : diagnosisPanel.processor !== null ? diagnosisPanel.processor.diagnosisSummary : ""
        }

        ScrollView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentWidth: availableWidth

            Column {
                width: parent.width
                spacing: 6

                Repeater {
                    model: diagnosisPanel.steps

                    RowLayout {
                        objectName: "diagnosisRow"
                        width: parent.width
                        spacing: 8
                        property string verdict: modelData.verdict

                        Label {
                            Layout.alignment: Qt.AlignTop
                            Layout.preferredWidth: 20
                            horizontalAlignment: Text.AlignHCenter
                            font.bold: true
                            font.pixelSize: 16
                            color: diagnosisPanel.markColor(modelData.verdict)
                            text: diagnosisPanel.mark(modelData.verdict)
                        }
                        Column {
                            Layout.fillWidth: true
                            spacing: 2

                            Label {
                                objectName: "diagnosisStepName"
                                width: parent.width
                                font.bold: true
                                text: modelData.number + ". " + modelData.name
                                      + (modelData.verdict === "not run" ? qsTr(" (not run)") : "")
                            }
                            Label {
                                objectName: "diagnosisStepLine"
                                width: parent.width
                                visible: text !== ""
                                wrapMode: Text.Wrap
                                color: modelData.verdict === "finding" ? diagnosisPanel.errorColor : palette.windowText
                                text: modelData.line
                            }
                            Label {
                                width: parent.width
                                visible: modelData.cause !== ""
                                wrapMode: Text.Wrap
                                text: qsTr("Likely cause: %1").arg(modelData.cause)
                            }
                            Label {
                                width: parent.width
                                visible: modelData.action !== ""
                                wrapMode: Text.Wrap
                                text: qsTr("What to do: %1").arg(modelData.action)
                            }
                        }
                    }
                }
            }
        }

        Label {
            id: saveProblem
            objectName: "diagnosisSaveProblem"
            Layout.fillWidth: true
            visible: text !== ""
            wrapMode: Text.Wrap
            color: diagnosisPanel.errorColor
        }
    }

    footer: DialogButtonBox {
        Button {
            objectName: "saveReportButton"
            text: qsTr("Save Report...")
            enabled: !diagnosisPanel.running && diagnosisPanel.processor !== null
                     && diagnosisPanel.processor.diagnosisSummary !== ""
            DialogButtonBox.buttonRole: DialogButtonBox.ActionRole
            onClicked: saveReportDialog.open()
        }
        Button {
            objectName: "closeDiagnosisButton"
            text: qsTr("Close")
            enabled: !diagnosisPanel.running
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }

    onOpened: saveProblem.text = ""

    Platform.FileDialog {
        id: saveReportDialog
        objectName: "saveReportDialog"
        fileMode: Platform.FileDialog.SaveFile
        nameFilters: [qsTr("JSON files (*.json)"), qsTr("All files (*)")]
        defaultSuffix: "json"
        folder: Platform.StandardPaths.writableLocation(Platform.StandardPaths.DocumentsLocation)
        currentFile: folder + "/pravel-diagnosis.json"
        onAccepted: {
            var path = diagnosisPanel.processor.localPath(file)
            var problem = diagnosisPanel.processor.saveDiagnosisReport(path)
            saveProblem.text = problem === "" ? "" : qsTr("The report could not be saved to %1: %2").arg(path).arg(problem)
        }
    }
}
