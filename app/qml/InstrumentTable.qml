import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Load Firmware on All: a row per instrument with its serial number, flash
// part, what its run does now or how it ended, and how far it is.
ColumnLayout {
    id: table
    objectName: "instrumentTable"

    // The processor's rows (InstrumentRows); null when there is none.
    property var rows: null
    property bool compact: false
    property color errorColor
    property color successColor

    spacing: compact ? 0 : 2

    // What a row says, in words: for the row's text and for a screen reader.
    function stateText(outcome, stage, stageProgress, detail) {
        if (outcome === "running")
            return detail !== "" ? detail : stage === "" ? qsTr("Starting")
                 : qsTr("%1: %2%").arg(stage).arg(Math.floor(stageProgress * 100))
        var word = outcome === "complete" ? qsTr("Complete")
                 : outcome === "failed" ? qsTr("Failed")
                 : outcome === "stopped" ? qsTr("Stopped")
                 : outcome === "not started" ? qsTr("Not started") : qsTr("Waiting")
        return detail !== "" ? word + ": " + detail : word
    }

    Repeater {
        model: table.rows

        RowLayout {
            id: row
            objectName: "instrumentRow"
            Layout.fillWidth: true
            spacing: 8

            readonly property string said: table.stateText(model.outcome, model.stage, model.stageProgress, model.detail)
            readonly property bool bad: model.outcome === "failed" || model.outcome === "stopped"
                                        || model.outcome === "not started"

            Accessible.role: Accessible.Row
            Accessible.name: model.serial + (model.flashPart !== "" ? ", " + model.flashPart : "") + ": " + said
                             + (model.outcome === "running" ? qsTr(", run %1%").arg(Math.floor(model.runProgress * 100)) : "")

            Label {
                objectName: "rowSerial"
                text: model.serial
                font.bold: true
                Layout.preferredWidth: 80
                elide: Text.ElideRight
                Accessible.ignored: true
            }
            Label {
                text: model.flashPart !== "" ? model.flashPart : "-"
                Layout.preferredWidth: 72
                elide: Text.ElideRight
                Accessible.ignored: true
            }
            Label {
                objectName: "rowState"
                text: row.said
                Layout.fillWidth: true
                elide: Text.ElideRight
                color: row.bad ? table.errorColor : model.outcome === "complete" ? table.successColor : palette.windowText
                Accessible.ignored: true
                ToolTip.visible: truncated && hover.hovered
                ToolTip.text: text
                HoverHandler { id: hover }
            }
            ProgressBar {
                objectName: "rowProgress"
                Layout.preferredWidth: 120
                // Packed tighter where the window is small: the log keeps its rows.
                Layout.preferredHeight: table.compact ? 12 : implicitHeight
                from: 0
                to: 1
                value: model.runProgress
                Accessible.ignored: true
            }
            Label {
                text: qsTr("%1%").arg(Math.floor(model.runProgress * 100))
                Layout.preferredWidth: 36
                horizontalAlignment: Text.AlignRight
                Accessible.ignored: true
            }
        }
    }
}
