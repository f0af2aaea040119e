// The dashboard's few behaviours. Output lines are put in as text, never as
// markup; what else changes comes from the service as its own escaped HTML.
"use strict";

const MAX_LINES = 5000; // kept on the page; the result zip holds all of them
const POLL_MS = 1000;

// Swaps the element `id` for the fragment at `url`; returns the new element, or
// null when the service answered otherwise (404: the thing is gone).
async function swapIn(id, url) {
  const response = await fetch(url, { cache: "no-store" });
  const holder = document.createElement("div");
  holder.innerHTML = await response.text(); // the service's own escaped HTML
  const fresh = holder.firstElementChild;
  const current = document.getElementById(id);
  // Only what changed is replaced: a button being pressed or focused stays put otherwise.
  if (fresh && current && fresh.id === id && !fresh.isEqualNode(current)) current.replaceWith(fresh);
  return response.ok ? fresh : null;
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

  // The job's state as the service renders it; false once it has ended or is gone.
  async function refresh() {
    const fresh = await swapIn("job-state", article.dataset.state);
    return fresh !== null && fresh.dataset.ended !== "true";
  }

  // Status and stage change between lines too: follow them until the job ends.
  const poll = async () => {
    let going = true;
    try {
      going = await refresh();
    } catch (_) {
      /* the service may be restarting: try again */
    }
    if (going) setTimeout(poll, POLL_MS);
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

function refreshJobs() {
  setInterval(async () => {
    if (document.hidden) return;
    try {
      await swapIn("jobs", "/ui/fragments/jobs");
    } catch (_) {
      /* try again at the next tick */
    }
  }, 2 * POLL_MS);
}

document.addEventListener("DOMContentLoaded", () => {
  // On the document: forms come and go with the fragments that carry them.
  document.addEventListener("submit", (event) => {
    const form = event.target;
    if (form.dataset.confirm && !window.confirm(form.dataset.confirm)) event.preventDefault();
  });
  const article = document.getElementById("job");
  if (article) followJob(article);
  const jobs = document.getElementById("jobs");
  if (jobs && jobs.dataset.refresh) refreshJobs();
});
