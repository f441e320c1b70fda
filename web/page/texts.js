// Every text the page shows, by a short id, in English (TEXT) and Japanese
// (TEXT_JA) with the same ids, in the browser's language. The gateway's
// events carry a reason code (web/page_wire.hpp lists them); the page shows
// its own text for the code, made with the event's members, and the
// gateway's English for a code it does not know. The chat server's own
// texts (its error replies, notices and records) are Japanese and shown as
// they are. Nothing here touches the page, so that the tables can be
// loaded and checked on their own.

// A time of day as the page shows it, in the browser's locale.
export function clock(d) {
  return d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
}

function inSeconds(seconds) {
  return new Date(Date.now() + seconds * 1000);
}

export const TEXT = {
  title: 'Chat',
  chatOn: (host) => `Chat on ${host}`,
  about: (host) => `You are about to join the chat on ${host}. Everyone logged in reads what you post, and the server keeps the last 20 messages.`,
  autoColour: 'Automatic colour',
  newMessages: 'New messages ↓',
  earlierAbove: 'Earlier messages above, new ones below',
  blank: 'Nothing to send: the message holds only spaces.',
  name: 'Name',
  colour: 'Colour',
  message: 'Message',
  send: 'Send',
  notify: 'Notify',
  reload: 'Reload',
  reloadTitle: 'Ask the server for new records now',
  logout: 'Log out',
  logIn: 'Log in',
  logInAgain: 'Log in again',
  conversation: 'Conversation',
  stillHere: "I'm still here",
  nameHint: 'at most 30 letters (15 Japanese characters), no spaces',
  nameEmpty: 'Type a name.',
  nameSpaces: 'No spaces in a name.',
  nameLong: (n) => `Too long: ${n} of 30 bytes.`,
  notLoggedIn: 'Not logged in',
  loggingIn: 'Logging in…',
  loggedInAs: (name) => `Logged in as ${name}`,
  loggedOut: 'Logged out',
  resuming: 'Taking up the session again…',
  reconnecting: 'Connection lost; reconnecting…',
  waitingForServer: (at) => `Waiting for the chat server to come back; trying again at ${clock(new Date(at))}…`,
  loggingInAgain: 'Logging in again…',
  reloaded: 'Reloaded: log in to go on',
  meanwhile: 'While this page was away',
  bytesLeft: (n) => `${n} bytes left`,
  bytesLeftPosts: (n, posts) => `${n} bytes left; will be sent as ${posts} messages`,
  tooLong: (posts, max) => `Too long to send: it would be ${posts} messages, a text makes at most ${max}. Send it in parts.`,
  takenBack: 'Not sent: the lines still waiting are back in the message box.',
  sending: 'sending…',
  queued: 'waiting to send…',
  unsure: 'may not have been posted',
  notSent: 'not sent',
  unread: (n, mentions, title) => (mentions ? `(${n}, @${mentions}) ${title}` : `(${n}) ${title}`),
  notifyWhat: 'What to notify',
  notifyAll: 'all',
  notifyMentions: 'mentions only',
  people: 'Logged in, as the notices tell',
  peopleButton: (n) => `Logged in: ${n}`,
  peopleEmpty: 'No login notice seen yet.',
  times: (n) => `×${n}`,
  lost: 'The connection to the gateway was lost.',
  closedRate: 'The gateway closed this session: too many messages.',
  closedSize: 'The gateway closed this session: a message was too large.',
  // The archive: scroll-back and search.
  loadEarlier: 'Load earlier',
  archiveStart: 'The start of the archive',
  archiveGap: 'The archive may be missing records here',
  archiveMore: 'More records were dropped here than are shown',
  archiveLogIn: 'Log in to search the archive.',
  archiveFailed: 'The archive cannot be read now.',
  searchPlaceholder: 'Search the archive',
  searchResults: 'Search results',
  searching: (term) => `Searching for “${term}”…`,
  searchNone: (term) => `Nothing found for “${term}”.`,
  searchFound: (n, term) => (n === 1 ? `1 record holds “${term}”, newest first.` : `${n} records hold “${term}”, newest first.`),
  searchIncomplete: 'There may be more.',
  searchAround: 'The chosen record among those around it',
  searchBack: 'Back to the results',
  backToLive: 'Back to live',
  backToLiveUnread: (n) => `Back to live (${n} new)`,
  closeSearch: 'Close',
  signedInAs: (name) => `signed in as ${name}`,
  signedInName: (name) => `You post as ${name}, the name you signed in with.`,
  askingName: 'Asking the gateway for the name you signed in with…',
  rooms: 'Rooms',
  roomsButton: 'Rooms',
  roomsButtonUnread: (n) => `Rooms (${n})`,
  leave: 'Leave room',
  leftRoom: 'Left this room',
  join: 'Join',
  unreadCount: (n, mentions) => (mentions ? `${n} new, ${mentions} naming you` : `${n} new`),
  roomFull: 'Its chat server was full at the last try',
  roomUnreachable: 'Its chat server could not be reached at the last try',
  roomStopped: 'Its chat server stopped',
  roomLost: 'The connection to its chat server was lost',
  noRecords: 'This room keeps no earlier records here: no scroll-back or search.',
  reason: {
    rate: (e) => `Too many messages: at most ${e.count} every ${e.seconds} seconds. This session is closed.`,
    invalid: 'The gateway did not understand a message from the page.',
    room: 'There is no such room here.',
    'logged-in': 'Already logged in.',
    'not-logged-in': 'Not logged in.',
    name: 'A name is 1 to 30 Shift_JIS bytes without spaces (a Japanese character takes 2).',
    reserved: "That name is reserved for the server's notices. Choose another.",
    'name-control': 'A name cannot hold control characters.',
    colour: 'A colour is three whole numbers from -99 to 999.',
    line: 'A message cannot hold line breaks or NUL characters; it was not sent.',
    control: 'A message cannot hold control characters such as ESC; it was not sent.',
    replaced: (e) => `${e.count} character(s) have no Shift_JIS form and were sent as 〓.`,
    unreachable: 'The chat server cannot be reached. Try again later.',
    timeout: 'You were logged out after a long silence.',
    full: 'The chat server is full. Try again later.',
    stopped: 'The chat server has stopped.',
    lost: 'The connection to the chat server was lost.',
    logout: 'Logged out.',
    resume: 'This session cannot be taken up again here. Log in again.',
    missed: 'Earlier records were missed while the page was away.',
    idle: (e) => `You have sent nothing for a while: the chat server will log you out at ${clock(inSeconds(e.seconds))} unless you send something.`,
    overlong: (e) => `The chat server sent a line longer than ${e.count} KiB; the rest of it was dropped.`,
    'archive-rate': (e) => `Too many questions to the archive: at most ${e.count} every ${e.seconds} seconds. Try again shortly.`,
    archive: 'The archive cannot be read now.',
    'no-archive': 'This gateway keeps no archive.',
    backlog: (e) => `At most ${e.count} posts can be on their way to the chat server; this one waits.`,
    proxy: 'This gateway takes only connections through its sign-in proxy.',
    unverified: 'The sign-in proxy did not say who you are. Sign in again.',
    'unfit-name': 'The name you signed in with cannot be used in the chat: it must be 1 to 30 Shift_JIS bytes without spaces.',
  },
};

export const TEXT_JA = {
  title: 'チャット',
  chatOn: (host) => `${host} のチャット`,
  about: (host) => `${host} のチャットに参加します。発言はログイン中の全員が読み、サーバーには最新の20件が残ります。`,
  autoColour: '色を自動で決める',
  newMessages: '新しい発言 ↓',
  earlierAbove: 'ここより上は以前の発言、下は新しい発言です',
  blank: '空白だけのメッセージは送信しません。',
  name: '名前',
  colour: '色',
  message: 'メッセージ',
  send: '送信',
  notify: '通知',
  reload: '更新',
  reloadTitle: '新しい発言を今すぐサーバーに問い合わせます',
  logout: 'ログアウト',
  logIn: 'ログイン',
  logInAgain: 'もう一度ログイン',
  conversation: '会話',
  stillHere: 'ログインを続ける',
  nameHint: '全角15文字（半角30文字）まで、空白は使えません。',
  nameEmpty: '名前を入力してください。',
  nameSpaces: '名前に空白は使えません。',
  nameLong: (n) => `名前が長すぎます（${n}/30バイト）。`,
  notLoggedIn: 'ログインしていません',
  loggingIn: 'ログインしています…',
  loggedInAs: (name) => `${name} でログイン中`,
  loggedOut: 'ログアウトしました',
  resuming: 'セッションを再開しています…',
  reconnecting: '接続が切れました。再接続しています…',
  waitingForServer: (at) => `チャットサーバーの復帰を待っています。${clock(new Date(at))}にもう一度試します…`,
  loggingInAgain: 'もう一度ログインしています…',
  reloaded: 'ページを再読み込みしました。続けるにはログインしてください',
  meanwhile: 'このページを離れていた間の発言',
  bytesLeft: (n) => `残り${n}バイト`,
  bytesLeftPosts: (n, posts) => `残り${n}バイト（${posts}件のメッセージに分けて送信します）`,
  tooLong: (posts, max) => `長すぎて送信できません（${posts}件分、1回に送れるのは${max}件まで）。分けて送ってください。`,
  takenBack: '送信待ちだった行は送信せず、入力欄に戻しました。',
  sending: '送信中…',
  queued: '送信待ち…',
  unsure: '送信できなかった可能性があります',
  notSent: '未送信',
  unread: (n, mentions, title) => (mentions ? `(${n}, @${mentions}) ${title}` : `(${n}) ${title}`),
  notifyWhat: '通知する発言',
  notifyAll: 'すべて',
  notifyMentions: '自分の名前を含むものだけ',
  people: 'ログイン中の名前（お知らせから）',
  peopleButton: (n) => `ログイン中: ${n}`,
  peopleEmpty: 'ログインのお知らせはまだありません。',
  times: (n) => `×${n}`,
  lost: 'ゲートウェイとの接続が切れました。',
  closedRate: 'メッセージが多すぎるため、ゲートウェイがこのセッションを閉じました。',
  closedSize: 'メッセージが大きすぎるため、ゲートウェイがこのセッションを閉じました。',
  loadEarlier: 'さらに前を読み込む',
  archiveStart: 'アーカイブの始まり',
  archiveGap: 'ここでアーカイブの記録が欠けている可能性があります',
  archiveMore: 'ここで落ちた記録は表示分より多くあります',
  archiveLogIn: 'アーカイブを検索するにはログインしてください。',
  archiveFailed: '今はアーカイブを読めません。',
  searchPlaceholder: 'アーカイブを検索',
  searchResults: '検索結果',
  searching: (term) => `「${term}」を検索中…`,
  searchNone: (term) => `「${term}」は見つかりませんでした。`,
  searchFound: (n, term) => `「${term}」を含む記録が${n}件（新しい順）。`,
  searchIncomplete: 'ほかにもある可能性があります。',
  searchAround: '選んだ記録とその前後',
  searchBack: '検索結果に戻る',
  backToLive: '最新に戻る',
  backToLiveUnread: (n) => `最新に戻る（新着${n}件）`,
  closeSearch: '閉じる',
  signedInAs: (name) => `${name} としてサインイン済み`,
  signedInName: (name) => `サインインした名前 ${name} で発言します。`,
  askingName: 'サインインした名前をゲートウェイに問い合わせています…',
  rooms: '部屋',
  roomsButton: '部屋',
  roomsButtonUnread: (n) => `部屋（${n}）`,
  leave: 'この部屋から退出',
  leftRoom: 'この部屋から退出しました',
  join: '参加する',
  unreadCount: (n, mentions) => (mentions ? `新着${n}件（うち${mentions}件はあなた宛て）` : `新着${n}件`),
  roomFull: '前回はチャットサーバーが満員でした',
  roomUnreachable: '前回はチャットサーバーに接続できませんでした',
  roomStopped: 'チャットサーバーが停止しました',
  roomLost: 'チャットサーバーとの接続が切れました',
  noRecords: 'この部屋は以前の記録を残していません。遡って読むことも検索もできません。',
  reason: {
    rate: (e) => `メッセージが多すぎます（${e.seconds}秒間に${e.count}件まで）。このセッションは閉じられました。`,
    invalid: 'ページから届いたメッセージをゲートウェイが理解できませんでした。',
    room: 'この部屋はここにはありません。',
    'logged-in': 'すでにログインしています。',
    'not-logged-in': 'ログインしていません。',
    name: '名前は空白なしで1〜30バイト（Shift_JIS、全角文字は2バイト）です。',
    'name-control': '名前に制御文字は使えません。',
    reserved: 'その名前はサーバーのお知らせ用に予約されています。別の名前にしてください。',
    colour: '色は -99 から 999 までの整数3つで指定します。',
    line: 'メッセージに改行やNUL文字は使えません。送信しませんでした。',
    control: 'メッセージにESCなどの制御文字は使えません。送信しませんでした。',
    replaced: (e) => `Shift_JISで表せない文字${e.count}個を〓に置き換えて送信しました。`,
    unreachable: 'チャットサーバーに接続できません。しばらくしてからもう一度お試しください。',
    timeout: '長い間発言がなかったため、ログアウトされました。',
    full: 'チャットサーバーが満員です。しばらくしてからもう一度お試しください。',
    stopped: 'チャットサーバーが停止しました。',
    lost: 'チャットサーバーとの接続が切れました。',
    logout: 'ログアウトしました。',
    resume: 'このセッションはここでは再開できません。もう一度ログインしてください。',
    missed: 'ページを離れていた間の発言の一部を受け取れませんでした。',
    idle: (e) => `しばらく発言がありません。${clock(inSeconds(e.seconds))}までに何か送信しないと、チャットサーバーからログアウトされます。`,
    overlong: (e) => `チャットサーバーから${e.count}KiBを超える行が届いたため、超えた部分を捨てました。`,
    'archive-rate': (e) => `アーカイブへの問い合わせが多すぎます（${e.seconds}秒間に${e.count}件まで）。少し待ってからやり直してください。`,
    archive: '今はアーカイブを読めません。',
    'no-archive': 'このゲートウェイはアーカイブを持っていません。',
    backlog: (e) => `チャットサーバーへ送信中の発言は${e.count}件までです。この発言は送信を待ちます。`,
    proxy: 'このゲートウェイには、サインイン用のプロキシーを通してしか接続できません。',
    unverified: 'サインイン用のプロキシーから利用者の名前が届きませんでした。もう一度サインインしてください。',
    'unfit-name': 'サインインした名前はチャットでは使えません。名前は空白なしで1〜30バイト（Shift_JIS）です。',
  },
};

// The page's language: the first of Japanese or English among the
// browser's languages, English when neither is there.
export function pageLanguage(languages) {
  for (const tag of languages) {
    const primary = String(tag).toLowerCase().split('-')[0];
    if (primary === 'ja' || primary === 'en') return primary;
  }
  return 'en';
}

export const tables = { en: TEXT, ja: TEXT_JA };

// The language of the page's browser, English where there is none.
export const language = typeof navigator === 'undefined'
  ? 'en' : pageLanguage(navigator.languages || [navigator.language || '']);
const texts = tables[language];

// A text missing from the Japanese table shows in English rather than not
// at all (the table test catches it before it ships).
export function t(id, ...args) {
  const text = id in texts ? texts[id] : TEXT[id];
  return typeof text === 'function' ? text(...args) : text;
}

// The page's text for an event's reason code, else the gateway's own.
export function reasonText(event) {
  const text = texts.reason[event.reason] || TEXT.reason[event.reason];
  if (typeof text === 'function') return text(event);
  return text || event.text;
}
