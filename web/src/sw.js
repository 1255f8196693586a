// Caches the page's own files, so that it opens from the home screen; it
// never sees the broker's traffic (WebSockets pass by a service worker) nor
// the settings, which stay in the page's local storage.
const VERSION = "__VERSION__";
const FILES = __FILES__;
const CACHE = `doorbell-${VERSION}`;

self.addEventListener("install", (e) => {
  e.waitUntil(caches.open(CACHE).then((c) => c.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (e) => {
  e.waitUntil(
    caches.keys()
      .then((keys) => Promise.all(keys.filter((k) => k.startsWith("doorbell-") && k !== CACHE).map((k) => caches.delete(k))))
      .then(() => self.clients.claim()),
  );
});

// The network first, so that a new version shows at once; the cached copy
// when there is none. Anything that is not one of the page's files is left
// to the browser.
self.addEventListener("fetch", (e) => {
  const url = new URL(e.request.url);
  if (e.request.method !== "GET" || url.origin !== self.location.origin) return;
  const scope = new URL(self.registration.scope);
  const name = url.pathname.slice(scope.pathname.length) || "./";
  if (!FILES.includes(name)) return;
  e.respondWith(
    fetch(e.request)
      .then((response) => {
        if (response.ok) {
          const copy = response.clone();
          caches.open(CACHE).then((c) => c.put(e.request, copy));
        }
        return response;
      })
      .catch(() => caches.match(e.request)),
  );
});

self.addEventListener("notificationclick", (e) => {
  e.notification.close();
  e.waitUntil(
    self.clients.matchAll({ type: "window" }).then((windows) =>
      windows.length ? windows[0].focus() : self.clients.openWindow("./")),
  );
});
