/* Sequence diagram of one cash register <-> terminal exchange.
 *
 * A plain script: no modules, no dependencies, nothing fetched.  It defines
 * the global SequenceDiagram, used by ecrsim's browser console (live, one
 * event at a time) and by pages that render a recorded exchange at once.
 *
 *   const d = new SequenceDiagram(container, { onSelect: ev => ... });
 *   d.add(ev);  d.clear();
 *   SequenceDiagram.render(container, events, options);
 *
 * An event: { t_ms, dir: "ecr"|"term"|"none",
 *             kind: "frame"|"ack"|"nak"|"pause"|"state"|"note",
 *             label, hex (optional), anomaly (optional) }
 * Every arrow or mark carries class "seq-arrow seq-<kind>" (plus
 * "seq-anomaly") and data-index, the event's position since the last clear.
 * Labels and hex dumps arrive masked; this script shows them as text only.
 */
(function (global) {
  "use strict";

  var SVG = "http://www.w3.org/2000/svg";
  var ROW = 34;          // vertical space per event
  var TOP = 40;          // room for the lifeline heads
  var EDGE = 72;         // lifeline distance from the sides; the gap times sit left of it
  var STYLE_ID = "seq-diagram-style";
  var CSS =
    ".seq-wrap{font:13px/1.3 system-ui,sans-serif;color:#222}" +
    ".seq-scroll{overflow:auto;max-height:70vh;border:1px solid #ccc;background:#fff}" +
    ".seq-svg{display:block}" +
    ".seq-svg text{font:12px system-ui,sans-serif;fill:#222}" +
    ".seq-svg .seq-head{font-weight:bold}" +
    ".seq-svg .seq-life{stroke:#888;stroke-dasharray:4 4}" +
    ".seq-svg .seq-gap{fill:#777;font-size:11px}" +
    ".seq-arrow{cursor:pointer;outline:none}" +
    ".seq-arrow line{stroke:#1f5fa8;stroke-width:1.6}" +
    ".seq-arrow.seq-ack line{stroke:#2a8a2a}" +
    ".seq-arrow.seq-nak line{stroke:#c07000}" +
    ".seq-arrow.seq-pause line,.seq-arrow.seq-state line,.seq-arrow.seq-note line{stroke:#999;stroke-dasharray:2 3}" +
    ".seq-arrow .seq-hit{fill:transparent}" +
    ".seq-arrow:hover .seq-hit,.seq-arrow.seq-selected .seq-hit{fill:#eef4ff}" +
    ".seq-arrow.seq-anomaly line{stroke:#c00}" +
    ".seq-arrow .seq-bad{fill:#c00;font-weight:bold}" +
    ".seq-detail{margin-top:6px;padding:6px;border:1px solid #ccc;background:#f7f7f7;" +
    "font:12px/1.4 ui-monospace,monospace;white-space:pre-wrap;word-break:break-all;min-height:2.8em}";

  function el(name, attrs, parent) {
    var e = document.createElementNS(SVG, name);
    for (var k in attrs) if (Object.prototype.hasOwnProperty.call(attrs, k)) e.setAttribute(k, attrs[k]);
    if (parent) parent.appendChild(e);
    return e;
  }

  function text(parent, x, y, s, cls, anchor) {
    var t = el("text", { x: x, y: y, "text-anchor": anchor || "middle" }, parent);
    if (cls) t.setAttribute("class", cls);
    t.textContent = s;
    return t;
  }

  function addStyle() {
    if (document.getElementById(STYLE_ID)) return;
    var s = document.createElement("style");
    s.id = STYLE_ID;
    s.textContent = CSS;
    document.head.appendChild(s);
  }

  function fit(s, n) {
    return s.length <= n ? s : s.slice(0, Math.max(1, n - 1)) + "\u2026";
  }

  function gapText(ms) {
    if (ms < 1000) return "+" + Math.round(ms) + " ms";
    return "+" + (ms / 1000).toFixed(ms < 10000 ? 2 : 1) + " s";
  }

  function SequenceDiagram(container, options) {
    if (!(this instanceof SequenceDiagram)) return new SequenceDiagram(container, options);
    addStyle();
    this.options = options || {};
    this.events = [];
    this.root = document.createElement("div");
    this.root.className = "seq-wrap";
    this.scroll = document.createElement("div");
    this.scroll.className = "seq-scroll";
    this.svg = el("svg", { "class": "seq-svg", role: "img" });
    this.svg.setAttribute("aria-label", "Sequence diagram: cash register and terminal");
    this.scroll.appendChild(this.svg);
    this.detail = document.createElement("div");
    this.detail.className = "seq-detail";
    this.detail.textContent = "Click an arrow to see its bytes.";
    this.root.appendChild(this.scroll);
    this.root.appendChild(this.detail);
    container.appendChild(this.root);
    this.selected = null;
    this._layout();
    var self = this;
    // Drawn at 1:1 in the width at hand, so text stays legible on a phone;
    // a change of width redraws.
    global.addEventListener("resize", function () {
      if (self._width() !== self.W) self._layout();
    });
  }

  SequenceDiagram.prototype._width = function () {
    var w = this.scroll.clientWidth || 600;
    return Math.max(320, Math.min(760, w - 2));
  };

  SequenceDiagram.prototype._layout = function () {
    this.W = this._width();
    this.L = EDGE;
    this.R = this.W - EDGE + 20;
    while (this.svg.firstChild) this.svg.removeChild(this.svg.firstChild);
    this.svg.setAttribute("width", this.W);
    this._drawHeads();
    var events = this.events;
    this.events = [];
    this.selected = null;
    for (var i = 0; i < events.length; i++) this.add(events[i]);
    this._resize();
  };

  SequenceDiagram.prototype._drawHeads = function () {
    var svg = this.svg;
    var defs = el("defs", {}, svg);
    var mk = el("marker", { id: "seq-head", viewBox: "0 0 10 10", refX: 10, refY: 5,
                            markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse" }, defs);
    el("path", { d: "M0,0 L10,5 L0,10 z", fill: "#444" }, mk);
    text(svg, this.L, 18, "Cash register", "seq-head");
    text(svg, this.R, 18, "Terminal", "seq-head");
    this.lifeL = el("line", { "class": "seq-life", x1: this.L, y1: 26, x2: this.L, y2: TOP }, svg);
    this.lifeR = el("line", { "class": "seq-life", x1: this.R, y1: 26, x2: this.R, y2: TOP }, svg);
    this.body = el("g", {}, svg);
  };

  SequenceDiagram.prototype._resize = function () {
    var h = TOP + this.events.length * ROW + 10;
    this.svg.setAttribute("height", h);
    this.lifeL.setAttribute("y2", h);
    this.lifeR.setAttribute("y2", h);
  };

  SequenceDiagram.prototype.add = function (ev) {
    if (!ev || typeof ev !== "object") return;
    var i = this.events.length;
    var prev = i > 0 ? this.events[i - 1] : null;
    this.events.push(ev);
    var y = TOP + i * ROW + 22;
    var kind = String(ev.kind || "note");
    var cls = "seq-arrow seq-" + kind + (ev.anomaly ? " seq-anomaly" : "");
    var g = el("g", { "class": cls, "data-index": i, tabindex: 0 }, this.body);
    var L = this.L, R = this.R, mid = (L + R) / 2;
    el("rect", { "class": "seq-hit", x: 0, y: y - 20, width: this.W, height: ROW }, g);
    el("title", {}, g).textContent = String(ev.label || kind) + (ev.anomaly ? " \u2014 " + ev.anomaly : "");
    if (prev && typeof ev.t_ms === "number" && typeof prev.t_ms === "number")
      text(g, 4, y - 8, gapText(Math.max(0, ev.t_ms - prev.t_ms)), "seq-gap", "start");
    var room = Math.floor((R - L) / 6.6);   // characters that fit between the lifelines
    var label = fit(String(ev.label || kind), room);
    if (ev.dir === "ecr" || ev.dir === "term") {
      var x1 = ev.dir === "ecr" ? L : R, x2 = ev.dir === "ecr" ? R : L;
      el("line", { x1: x1, y1: y, x2: x2, y2: y, "marker-end": "url(#seq-head)" }, g);
      text(g, mid, y - 5, label);
    } else {
      el("line", { x1: L - 16, y1: y - 4, x2: R + 16, y2: y - 4 }, g);
      text(g, mid, y - 8, label);
    }
    if (ev.anomaly) text(g, mid, y + 11, fit("\u26A0 " + String(ev.anomaly), room), "seq-bad");
    var self = this;
    var pick = function () { self._select(i, g); };
    g.addEventListener("click", pick);
    g.addEventListener("keydown", function (e) { if (e.key === "Enter" || e.key === " ") pick(); });
    this._resize();
    if (this.scroll.scrollHeight - this.scroll.scrollTop - this.scroll.clientHeight < ROW * 3)
      this.scroll.scrollTop = this.scroll.scrollHeight;
  };

  SequenceDiagram.prototype._select = function (i, g) {
    var ev = this.events[i];
    if (this.selected) this.selected.classList.remove("seq-selected");
    this.selected = g;
    g.classList.add("seq-selected");
    var head = "#" + i + "  " + String(ev.label || ev.kind || "");
    if (ev.anomaly) head += "\n" + "anomaly: " + String(ev.anomaly);
    this.detail.textContent = head + "\n" + (ev.hex ? String(ev.hex) : "(no bytes)");
    if (typeof this.options.onSelect === "function") this.options.onSelect(ev);
  };

  SequenceDiagram.prototype.clear = function () {
    this.events = [];
    this.selected = null;
    while (this.body.firstChild) this.body.removeChild(this.body.firstChild);
    this.detail.textContent = "Click an arrow to see its bytes.";
    this._resize();
  };

  SequenceDiagram.render = function (container, events, options) {
    var d = new SequenceDiagram(container, options);
    for (var i = 0; i < (events || []).length; i++) d.add(events[i]);
    return d;
  };

  global.SequenceDiagram = SequenceDiagram;
})(typeof window !== "undefined" ? window : this);
