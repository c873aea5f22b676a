import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The run at a glance: stage, how far, how long. Idle: the last outcome.
ColumnLayout {
    id: progressArea
    objectName: "progressArea"
    spacing: 4

    // The processor whose runs are timed; null when there is none.
    property QtObject processor: null
    property bool busy: false
    property bool finishingBeforeExit: false
    property string stageText: ""
    property real stageProgress: 0
    property real runProgress: 0
    property string lastOutcome: ""
    property color errorColor
    property color successColor

    property double startedAt: 0
    property double now: 0

    // Milliseconds as m:ss.
    function clock(ms) {
        var seconds = Math.max(0, Math.round(ms / 1000))
        var minutes = Math.floor(seconds / 60)
        seconds = seconds % 60
        return minutes + ":" + (seconds < 10 ? "0" : "") + seconds
    }

    Connections {
        target: progressArea.processor
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
        running: progressArea.busy
        onTriggered: progressArea.now = Date.now()
    }

    RowLayout {
        Layout.fillWidth: true
        Label {
            id: stageLabel
            objectName: "stageLabel"
            Layout.fillWidth: true
            elide: Text.ElideMiddle
            font.bold: !progressArea.busy && progressArea.lastOutcome !== ""
            color: progressArea.finishingBeforeExit || progressArea.busy ? palette.windowText
                   : progressArea.lastOutcome === "failed" ? progressArea.errorColor
                   : progressArea.lastOutcome === "complete" ? progressArea.successColor : palette.windowText
            text: progressArea.finishingBeforeExit ? qsTr("Finishing the programming run before exit...")
                  : progressArea.busy ? (progressArea.stageText !== "" ? progressArea.stageText : qsTr("Programming"))
                  : progressArea.lastOutcome === "complete" ? qsTr("Last run: programming complete")
                  : progressArea.lastOutcome === "failed" ? qsTr("Last run: programming failed")
                  : qsTr("Idle")
        }
        Label {
            id: timeLabel
            objectName: "timeLabel"
            visible: progressArea.busy
            readonly property double elapsed: Math.max(0, progressArea.now - progressArea.startedAt)
            text: {
                var run = progressArea.runProgress
                var left = run > 0.01 && run < 1
                           ? qsTr(", about %1 left").arg(progressArea.clock(elapsed * (1 - run) / run)) : ""
                return qsTr("stage %1%, run %2%, %3 elapsed")
                       .arg(Math.floor(progressArea.stageProgress * 100)).arg(Math.floor(run * 100))
                       .arg(progressArea.clock(elapsed)) + left
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
        value: progressArea.busy || progressArea.lastOutcome !== "" ? progressArea.runProgress : 0
    }
}
