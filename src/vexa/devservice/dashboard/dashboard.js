// The dashboard's few behaviours. Every value is put in as text, never as markup.
"use strict";

const MAX_LINES = 5000; // kept on the page; the result zip holds all of them
const POLL_MS = 1000;

function setField(root, name, value) {
  const node = root.querySelector(`[data-field="${name}"]`);
  if (node) node.textContent = value == null ? "" : value;
  return node;
}

function when(stamp) {
  return stamp ? stamp.replace("T", " ").slice(0, 19) : "";
}

const TONES = { finished: "good", failed: "bad", timeout: "bad", canceled: "muted", stopped: "muted", started: "busy" };

// As vexa.types.job_has_ended decides it, with the statuses and stage the page names.
function hasEnded(article, job) {
  const statuses = new Set(article.dataset.endedStatuses.split(" "));
  return statuses.has(job.job_status) || job.job_stage === article.dataset.endedStage;
}

function showJob(article, job) {
  const ended = hasEnded(article, job);
  const badge = setField(article, "job_status", job.job_status);
  if (badge) badge.className = `status ${TONES[job.job_status] || "waiting"}`;
  setField(article, "job_stage", job.job_stage);
  setField(article, "started_at", when(job.started_at));
  setField(article, "ended_at", when(job.ended_at));
  const error = setField(article, "error", job.error);
  if (error) error.hidden = !job.error;
  const shown = {
    ended: ended,
    running: !ended,
    serving: !ended && job.job_type === "web" && job.job_stage === "running",
  };
  for (const node of article.querySelectorAll("[data-show]")) node.hidden = !shown[node.dataset.show];
  article.dataset.ended = String(ended);
  return ended;
}

async function followJob(article) {
  const output = document.getElementById("output");
  const state = document.getElementById("output-state");
  let shownLines = 0;

  function append(line) {
    const span = document.createElement("span");
    span.className = line.stream === "stderr" ? "stderr" : "stdout";
    span.textContent = `${line.text}\n`;
    const atBottom = output.scrollTop + output.clientHeight >= output.scrollHeight - 4;
    output.appendChild(span);
    shownLines += 1;
    if (output.childElementCount > MAX_LINES) {
      let notice = output.firstElementChild;
      if (!notice.classList.contains("notice")) {
        notice = document.createElement("span");
        notice.className = "notice";
        notice.textContent = "(earlier lines are not shown here: the result zip holds them all)\n";
        output.insertBefore(notice, output.firstElementChild);
      }
      output.removeChild(notice.nextElementSibling);
    }
    if (atBottom) output.scrollTop = output.scrollHeight;
  }

  async function refresh() {
    const response = await fetch(output.dataset.info, { cache: "no-store" });
    if (!response.ok) return false;
    return showJob(article, await response.json());
  }

  // Status and stage change between lines too: poll them until the job ends.
  const poll = async () => {
    try {
      if (await refresh()) return;
    } catch (_) {
      /* the service may be restarting: try again */
    }
    setTimeout(poll, POLL_MS);
  };
  poll();

  try {
    const response = await fetch(output.dataset.stream, { cache: "no-store", headers: { Accept: "application/x-ndjson" } });
    if (!response.ok || !response.body) throw new Error(`the stream answered ${response.status}`);
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let pending = "";
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      pending += decoder.decode(value, { stream: true });
      let end;
      while ((end = pending.indexOf("\n")) >= 0) {
        const text = pending.slice(0, end);
        pending = pending.slice(end + 1);
        if (text.trim()) append(JSON.parse(text));
      }
    }
    state.textContent = shownLines ? "complete" : "none";
  } catch (error) {
    state.textContent = `stopped following (${error.message}); reload to try again`;
  }
  await refresh().catch(() => false);
}

function refreshJobs(table) {
  setInterval(async () => {
    if (document.hidden) return;
    try {
      const response = await fetch(table.dataset.refresh, { cache: "no-store" });
      if (!response.ok) return;
      const holder = document.createElement("div");
      holder.innerHTML = await response.text(); // the service's own escaped HTML
      const fresh = holder.firstElementChild;
      const current = document.getElementById("jobs");
      if (fresh && current) current.replaceWith(fresh);
    } catch (_) {
      /* try again at the next tick */
    }
  }, 2 * POLL_MS);
}

document.addEventListener("DOMContentLoaded", () => {
  for (const form of document.querySelectorAll("form[data-confirm]")) {
    form.addEventListener("submit", (event) => {
      if (!window.confirm(form.dataset.confirm)) event.preventDefault();
    });
  }
  const article = document.getElementById("job");
  if (article) followJob(article);
  const jobs = document.getElementById("jobs");
  if (jobs && jobs.dataset.refresh) refreshJobs(jobs);
});
