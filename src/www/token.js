// The access token of kivd's pages (setting HTTPAccessToken): given once as
// "#token=..." in the address or typed into a page's form, and kept for
// the browser tab. Shared by the pages of the daemon.
'use strict';

const kivToken = {
  value: sessionStorage.getItem('kivToken') || '',
  set(token) {
    this.value = token;
    sessionStorage.setItem('kivToken', token);
  },
  // Headers for a request to the API: the token when there is one.
  headers(extra) {
    const h = Object.assign({}, extra || {});
    if (this.value) h['Authorization'] = 'Bearer ' + this.value;
    return h;
  },
};

(function takeTokenFromAddress() {
  const m = /(?:^#|&)token=([^&]+)/.exec(location.hash);
  if (m) {
    kivToken.set(decodeURIComponent(m[1]));
    history.replaceState(null, '', location.pathname + location.search);
  }
})();
