// The page's calls to the JSON routes and the display of their results.
"use strict";

async function call(path, body) {
  const response = await fetch(path, {
    method: body === undefined ? "GET" : "POST",
    headers: body === undefined ? {} : { "Content-Type": "application/json" },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let payload;
  try {
    payload = await response.json();
  } catch (e) {
    payload = { error: "HTTP " + response.status + " without a JSON answer" };
  }
  return { status: response.status, payload };
}

function show(element, text) {
  element.textContent = text;
  element.hidden = !text;
}

function clip(container, url, label) {
  const box = document.createElement("div");
  box.className = "clip";
  const audio = document.createElement("audio");
  audio.controls = true;
  audio.preload = "auto";
  audio.src = url;
  const link = document.createElement("a");
  link.href = url;
  link.textContent = label + ": " + url;
  box.append(audio, link);
  container.append(box);
  return audio;
}

// Runs one form's request with its button disabled and its error shown.
function wire(name, run) {
  const form = document.getElementById(name + "-form");
  const error = document.getElementById(name + "-error");
  const busy = form.querySelector(".busy");
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const button = form.querySelector("button");
    button.disabled = true;
    busy.hidden = false;
    show(error, "");
    try {
      const { payload } = await run();
      if (payload && payload.error) show(error, payload.error);
    } catch (e) {
      show(error, "The application did not answer: " + e);
    } finally {
      button.disabled = false;
      busy.hidden = true;
    }
  });
}

wire("tts", async () => {
  const result = document.getElementById("tts-result");
  const answer = await call("/api/tts", {
    text: document.getElementById("tts-text").value,
    voice_id: document.getElementById("tts-voice").value,
    speed: Number(document.getElementById("tts-speed").value),
    pitch: Number(document.getElementById("tts-pitch").value),
  });
  result.replaceChildren();
  const entries = (answer.payload.data && answer.payload.data.convert_result) || [];
  const failed = [];
  for (const entry of entries) {
    const url = entry && entry.oss_url;
    if (typeof url !== "string" || !url) continue;
    if (url.startsWith("Error downloading file")) {
      failed.push(url);
      continue;
    }
    clip(result, url, "local copy");
    // Offer the fresh recording to the other two forms.
    document.getElementById("clone-url").value = url;
    document.getElementById("transcribe-url").value = url;
  }
  if (failed.length && !answer.payload.error) answer.payload.error = failed.join("; ");
  return answer;
});

wire("clone", async () => {
  const result = document.getElementById("clone-result");
  const answer = await call("/api/clone", {
    audio_url: document.getElementById("clone-url").value,
    voice_id: document.getElementById("clone-voice").value,
  });
  result.replaceChildren();
  if (!answer.payload.error && typeof answer.payload.data === "string" && answer.payload.data) {
    clip(result, answer.payload.data, "cloned voice");
  } else if (!answer.payload.error) {
    answer.payload.error = "The service returned no cloned audio.";
  }
  return answer;
});

wire("transcribe", async () => {
  const result = document.getElementById("transcribe-result");
  const answer = await call("/api/transcribe", {
    audio_url: document.getElementById("transcribe-url").value,
  });
  show(result, answer.payload.error ? "" : answer.payload.transcription);
  return answer;
});

// How much of the text's limit is used, as the visitor types.
(() => {
  const text = document.getElementById("tts-text");
  const count = document.getElementById("tts-count");
  const update = () => { count.textContent = "(" + text.value.length + " typed)"; };
  text.addEventListener("input", update);
  update();
})();

(async () => {
  const status = document.getElementById("status");
  try {
    const { payload } = await call("/api/status");
    status.className = payload.error ? "error" : "ok";
    status.textContent = payload.error ? payload.error : "complete: all model files are in place";
  } catch (e) {
    status.className = "error";
    status.textContent = "The application did not answer: " + e;
  }
})();
