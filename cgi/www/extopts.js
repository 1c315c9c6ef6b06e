// The advanced settings page's behaviour: load the settings from getextopts,
// submit changes to extopts as a url-encoded form, and say how it went.
(function () {
  "use strict";

  var form = document.getElementById("extopts");
  var delay = document.getElementById("delay");
  var save = document.getElementById("save");
  var statusLine = document.getElementById("status");

  function showStatus(text, kind) {
    statusLine.textContent = text;
    statusLine.className = kind || "";
  }

  // An HTTP error's body is the server's page, not JSON: report the status.
  function answerText(response) {
    if (!response.ok) {
      throw new Error(("HTTP " + response.status + " " + response.statusText).trim());
    }
    return response.text();
  }

  // The programs answer JSON as text/plain; "success" is the string "true".
  function parseAnswer(text) {
    var answer = JSON.parse(text);
    if (answer.success !== "true") {
      throw new Error(answer.msg || "the terminal refused the request");
    }
    return answer;
  }

  function showSettings(answer) {
    delay.value = answer.delay;
    var choice = answer.auto_enabled === "enable" ? "auto-enable" : "auto-disable";
    document.getElementById(choice).checked = true;
  }

  function load() {
    fetch("/cgi-bin/getextopts", { cache: "no-store" })
      .then(answerText)
      .then(parseAnswer)
      .then(function (answer) {
        showSettings(answer);
        save.disabled = false;
        showStatus("Settings loaded.");
      })
      .catch(function (error) { showStatus("Could not load the settings: " + error.message, "error"); });
  }

  function submit(event) {
    event.preventDefault();
    save.disabled = true;
    showStatus("Saving…");
    fetch(form.action, { method: "POST", body: new URLSearchParams(new FormData(form)) })
      .then(answerText)
      .then(parseAnswer)
      .then(function () { showStatus("Settings saved.", "ok"); })
      .catch(function (error) { showStatus("Could not save the settings: " + error.message, "error"); })
      .then(function () { save.disabled = false; });
  }

  form.addEventListener("submit", submit);
  load();
})();
